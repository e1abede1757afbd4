#include "runtime/code_stack.hpp"

#include <intrin.h>
#include <windows.h>

#include <cstdint>

#include "platform/os_error.hpp"
#include "runtime/stack_bounds_windows.hpp"

// The code stack is laid out like a thread's stack, so that Windows handles
// it as one while code runs on it (see stack_bounds_windows.hpp). From the
// top down: an inaccessible page, the usable stack, one guard page, the
// overflow room and an inaccessible page. A push onto the guard page lets
// Windows move the guard down into the room until what is left is the space
// it keeps for the handler; then it raises EXCEPTION_STACK_OVERFLOW, and the
// handler runs in that space. Everything but the two end pages is committed
// up front, as Windows and Wine do for thread stacks: Wine cannot put an
// exception record on pages it has to commit first. Committed pages cost no
// memory until they are touched.

namespace quorvel::runtime {
namespace {

// The guard page is the top page of the room.
constexpr std::size_t kOverflowRoom = 64u << 10;
// More than the exception dispatch and the fault handler take.
constexpr unsigned long kHandlerSpace = 32u << 10;

// x64 TEB fields Windows has kept at these offsets since its first 64-bit release.
constexpr unsigned long kTebStackBase = 0x08;
constexpr unsigned long kTebStackLimit = 0x10;
constexpr unsigned long kTebDeallocationStack = 0x1478;
constexpr unsigned long kTebGuaranteedStackBytes = 0x1748;

std::uint8_t* usable_bottom(const CodeStack& stack) { return static_cast<std::uint8_t*>(stack.top()) - stack.size(); }

// The overflow room and the guard page above it, as a new stack has them.
int prepare_overflow_room(std::uint8_t* room_start) {
  const std::size_t page = platform::page_size();
  if (VirtualAlloc(room_start, kOverflowRoom - page, MEM_COMMIT, PAGE_READWRITE) == nullptr ||
      VirtualAlloc(room_start + kOverflowRoom - page, page, MEM_COMMIT, PAGE_READWRITE | PAGE_GUARD) == nullptr) {
    return static_cast<int>(GetLastError());
  }
  return 0;
}

}  // namespace

// The TEB is reached through gs, as NtCurrentTeb() does. mingw-w64's gs
// intrinsics pass the offset as a pointer, which GCC's bounds check takes for
// an access through a null pointer.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#endif
StackBounds current_stack_bounds() {
  return {reinterpret_cast<void*>(__readgsqword(kTebStackBase)), reinterpret_cast<void*>(__readgsqword(kTebStackLimit)),
          reinterpret_cast<void*>(__readgsqword(kTebDeallocationStack)), __readgsdword(kTebGuaranteedStackBytes)};
}

void set_stack_bounds(const StackBounds& bounds) {
  __writegsqword(kTebStackBase, reinterpret_cast<DWORD64>(bounds.base));
  __writegsqword(kTebStackLimit, reinterpret_cast<DWORD64>(bounds.limit));
  __writegsqword(kTebDeallocationStack, reinterpret_cast<DWORD64>(bounds.deallocation));
  __writegsdword(kTebGuaranteedStackBytes, bounds.guaranteed);
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

StackBounds code_stack_bounds(const CodeStack& stack) {
  std::uint8_t* bottom = usable_bottom(stack);
  return {stack.top(), bottom, bottom - kOverflowRoom - platform::page_size(), kHandlerSpace};
}

// The room is given back and committed again, so the pages the code
// touched cost nothing until the next overflow.
void restore_code_stack(const CodeStack& stack, const void* limit_after_run) {
  std::uint8_t* bottom = usable_bottom(stack);
  if (limit_after_run >= bottom) return;
  std::uint8_t* room_start = bottom - kOverflowRoom;
  VirtualFree(room_start, kOverflowRoom, MEM_DECOMMIT);
  prepare_overflow_room(room_start);
}

// The stack Windows gives a new thread of this process: the reserve the
// executable's header asks for.
std::size_t thread_stack_size() {
  const auto* image = reinterpret_cast<const std::uint8_t*>(GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
  return static_cast<std::size_t>(nt->OptionalHeader.SizeOfStackReserve);
}

Result<CodeStack> CodeStack::create() {
  const std::size_t page = platform::page_size();
  const std::size_t size = code_stack_size();
  platform::Mapping mapping;
  int error = platform::Mapping::reserve(page + kOverflowRoom + size + page, mapping);
  if (error == 0) error = prepare_overflow_room(mapping.data() + page);
  if (error == 0) error = mapping.protect_range(page + kOverflowRoom, size, platform::Protection::ReadWrite);
  if (error != 0) return value_error("Execution stack creation failed: " + platform::os_error_description(error));
  return CodeStack(std::move(mapping), size);
}

void* CodeStack::top() const { return mapping_.data() + platform::page_size() + kOverflowRoom + size_; }

}  // namespace quorvel::runtime
