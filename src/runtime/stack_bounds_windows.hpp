#pragma once
// The bounds of the running thread's stack as Windows keeps them in the
// thread's TEB. Windows grows a stack through its guard page, raises
// EXCEPTION_STACK_OVERFLOW with room left for the handler, and checks the
// stack pointer a handler resumes with, all against these bounds; so while
// generated code runs on its own stack they must describe that stack, as they
// do for a fiber.

#include <cstddef>

#include "runtime/code_stack.hpp"

namespace quorvel::runtime {

struct StackBounds {
  void* base = nullptr;          // the top of the stack
  void* limit = nullptr;         // the lowest committed byte above the guard page
  void* deallocation = nullptr;  // the start of the reservation
  unsigned long guaranteed = 0;  // bytes kept for a stack overflow handler
};

StackBounds current_stack_bounds();
void set_stack_bounds(const StackBounds& bounds);

// The bounds of a fresh `stack`.
StackBounds code_stack_bounds(const CodeStack& stack);

// After code grew `stack` past its guard page (the limit moved down), the
// pages it took are given back and the guard page is put back in place.
void restore_code_stack(const CodeStack& stack, const void* limit_after_run);

}  // namespace quorvel::runtime
