#pragma once
// The stack generated code runs on: as large as a thread's stack (the
// RLIMIT_STACK soft limit, 8 MiB when it is unlimited or unknown; on Windows
// the stack reserve in the executable's header), between two inaccessible
// guard pages. On POSIX it is reserved without committing memory; on Windows
// it is laid out like a thread's stack (code_stack_windows.cpp).

#include <cstddef>

#include "common/result.hpp"
#include "platform/mapping.hpp"

namespace quorvel::runtime {

class CodeStack {
 public:
  static Result<CodeStack> create();

  // 16-byte aligned; the code's return address is pushed just below it
  // (below the 32 bytes of shadow space a Windows callee may use, there).
  void* top() const;
  std::size_t size() const { return size_; }

 private:
  CodeStack(platform::Mapping mapping, std::size_t size) : mapping_(std::move(mapping)), size_(size) {}

  platform::Mapping mapping_;
  std::size_t size_ = 0;
};

// The usable size a new stack gets: a thread's stack size, within sane
// bounds, in whole pages.
std::size_t code_stack_size();

// What each platform half provides: the size of a new thread's stack in this
// process, or 0 when it is unlimited or unknown.
std::size_t thread_stack_size();

}  // namespace quorvel::runtime
