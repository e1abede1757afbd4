#include "platform/code_pages.hpp"
#include "platform/code_pages_system.hpp"

#include <windows.h>


namespace quorvel::platform {
namespace {

// ERROR_DYNAMIC_CODE_BLOCKED, which older headers lack: the process forbids
// code it did not load from an image.
constexpr int kDynamicCodeBlocked = 1655;

int last_error() { return static_cast<int>(GetLastError()); }

class SectionHandle {
 public:
  explicit SectionHandle(HANDLE handle) : handle_(handle) {}
  SectionHandle(const SectionHandle&) = delete;
  SectionHandle& operator=(const SectionHandle&) = delete;
  ~SectionHandle() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

int switch_protection(std::uint8_t* view, std::size_t size, DWORD protection) {
  DWORD previous = 0;
  return VirtualProtect(view, size, protection, &previous) ? 0 : last_error();
}

}  // namespace

namespace code_pages_system {

// Two views of one pagefile-backed section. The section handle is closed at
// once: the views keep the section alive, and an engine must not hold a
// handle. The write view is mapped without execute access, the run view
// without write access, so neither can ever be switched to both.
int map_two_views(std::size_t size, std::uint8_t*& write_view, std::uint8_t*& run_view) {
  const auto wide = static_cast<unsigned long long>(size);
  SectionHandle section(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_EXECUTE_READWRITE,
                                           static_cast<DWORD>(wide >> 32), static_cast<DWORD>(wide), nullptr));
  if (section.get() == nullptr) return last_error();
  void* writable = MapViewOfFile(section.get(), FILE_MAP_WRITE, 0, 0, size);
  if (writable == nullptr) return last_error();
  void* runnable = MapViewOfFile(section.get(), FILE_MAP_READ | FILE_MAP_EXECUTE, 0, 0, size);
  if (runnable == nullptr) {
    const int error = last_error();
    UnmapViewOfFile(writable);
    return error;
  }
  write_view = static_cast<std::uint8_t*>(writable);
  run_view = static_cast<std::uint8_t*>(runnable);
  return 0;
}

int map_switching(std::size_t size, std::uint8_t*& view) {
  void* address = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READ);
  if (address == nullptr) return last_error();
  view = static_cast<std::uint8_t*>(address);
  return 0;
}

// A process that forbids executable views (dynamic code policy), or a
// system that does not offer them.
bool refuses_two_views(int error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
         error == kDynamicCodeBlocked;
}

// Windows has no fork: a process never holds pages another one created.
std::uint64_t process_generation() { return 1; }

}  // namespace code_pages_system

void CodePages::release() noexcept {
  if (run_view_ != nullptr) {
    if (two_views()) {
      UnmapViewOfFile(run_view_);
      UnmapViewOfFile(write_view_);
    } else {
      VirtualFree(run_view_, 0, MEM_RELEASE);
    }
  }
  write_view_ = run_view_ = nullptr;
  size_ = 0;
}

int CodePages::begin_write() {
  if (two_views()) return 0;
  return switch_protection(run_view_, size_, PAGE_READWRITE);
}

// Windows asks for FlushInstructionCache after code is changed in place; it
// costs little next to the protection switch. Writes through the other view
// need nothing: x86-64 keeps instruction fetches coherent with them.
int CodePages::end_write() {
  if (two_views()) return 0;
  if (const int error = switch_protection(run_view_, size_, PAGE_EXECUTE_READ); error != 0) return error;
  FlushInstructionCache(GetCurrentProcess(), run_view_, size_);
  return 0;
}

}  // namespace quorvel::platform
