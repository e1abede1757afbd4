#pragma once
// What both halves of the run guard decide alike about resumed code: the
// flags a paused state keeps, where a step trap stops, and which int3 traps
// are the lab's. The halves only read and write their platform's context.

#include <cstddef>
#include <cstdint>

#include "runtime/guarded_run.hpp"

namespace quorvel::runtime::stepping {

inline constexpr std::uint64_t kTrapFlag = 0x100;
// What a paused state keeps of rflags: the status flags and the direction
// flag, with the interrupt flag and the always-set bit 1 that iretq needs.
inline constexpr std::uint64_t kKeptFlags = 0xCD5;
inline constexpr std::uint64_t kResumeFlags = 0x202;

inline std::uint64_t paused_flags(std::uint64_t rflags) { return (rflags & kKeptFlags) | kResumeFlags; }

// An address outside the code, as a code offset.
inline constexpr std::size_t kOutside = SIZE_MAX;

enum class Stop : std::uint8_t { None, Paused, Breakpoint, AtExit };

// A single-step trap of a stepping run: the instruction at `previous` has
// run and the one at `next` is next (code offsets, or kOutside). When
// `previous` ended a step, `record_step(record, offset)` fills the step's
// record, if the run keeps them, and the step is counted. Then says whether
// the run stops before `next`.
template <class RecordStep>
Stop after_step_trap(Resumption& run, std::size_t previous, std::size_t next, RecordStep&& record_step) {
  if (previous != kOutside && (run.marks[previous] & kStepPoint)) {
    if (run.records != nullptr) record_step(run.records[run.steps_taken], static_cast<std::uint32_t>(previous));
    ++run.steps_taken;
  }
  if (next != kOutside) {
    if (next == run.exit_offset) return Stop::AtExit;
    if (run.marks[next] & kStopBefore) return Stop::Breakpoint;
    if (run.steps_taken == run.step_budget) return Stop::Paused;
  }
  return run.one_instruction ? Stop::Paused : Stop::None;
}

// Where an int3 at `offset` stops a free run: at the epilogue or at a
// breakpoint, when the lab planted it there; Stop::None for any other.
Stop planted_trap_at(const Resumption& run, std::size_t offset);

// The word on top of the stack for a step's record: what rsp points at
// while it is below where the program's stack begins, else 0. That word is
// mapped, since the push that put it there succeeded.
std::uint64_t stack_top_at(const Resumption& run, std::uint64_t rsp);

}  // namespace quorvel::runtime::stepping
