#include "platform/mapping.hpp"

#include <windows.h>

#include <cstring>
#include <utility>

namespace quorvel::platform {
namespace {

DWORD to_page_protection(Protection protection) {
  switch (protection) {
    case Protection::None: return PAGE_NOACCESS;
    case Protection::ReadOnly: return PAGE_READONLY;
    case Protection::ReadWrite: return PAGE_READWRITE;
    case Protection::ReadExecute: return PAGE_EXECUTE_READ;
  }
  return PAGE_NOACCESS;
}

int last_error() { return static_cast<int>(GetLastError()); }

}  // namespace

std::size_t page_size() {
  static const std::size_t size = [] {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<std::size_t>(info.dwPageSize);
  }();
  return size;
}

void Mapping::release() noexcept {
  if (data_ != nullptr) VirtualFree(data_, 0, MEM_RELEASE);
  data_ = nullptr;
  size_ = 0;
}

// Committed pages cost no memory until they are touched; they come zero-filled.
int Mapping::create(std::size_t size, Protection protection, Mapping& out) {
  void* address = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, to_page_protection(protection));
  if (address == nullptr) return last_error();
  out = Mapping();
  out.data_ = static_cast<std::uint8_t*>(address);
  out.size_ = size;
  return 0;
}

int Mapping::reserve(std::size_t size, Mapping& out) {
  void* address = VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
  if (address == nullptr) return last_error();
  out = Mapping();
  out.data_ = static_cast<std::uint8_t*>(address);
  out.size_ = size;
  return 0;
}

// Reserved pages must be committed before they take a protection; committing
// pages that already are leaves their contents alone.
int Mapping::protect_range(std::size_t offset, std::size_t size, Protection protection) {
  const DWORD wanted = to_page_protection(protection);
  if (protection != Protection::None && VirtualAlloc(data_ + offset, size, MEM_COMMIT, wanted) == nullptr) {
    return last_error();
  }
  DWORD previous = 0;
  if (!VirtualProtect(data_ + offset, size, wanted, &previous)) return last_error();
  return 0;
}

// Windows has no call that gives pages back and keeps them committed: a
// decommit and recommit leaves a moment in which the pages are missing, and
// the recommit can fail when another process takes the commit charge in
// between. Writing zeros cannot fail.
void Mapping::discard(std::size_t offset, std::size_t size) { std::memset(data_ + offset, 0, size); }

bool move_pages(std::uint8_t*, std::uint8_t*, std::size_t) { return false; }

}  // namespace quorvel::platform
