#pragma once
// Running generated code without putting the host at risk. The code runs on
// a stack of its own between guard pages, a trampoline restores the host's
// preserved registers whatever the code did to them, a fault inside the run
// comes back as an outcome, and the interrupt signals someone handles stop
// the run. The same machinery single-steps code for a trace.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/result.hpp"
#include "runtime/code_stack.hpp"

namespace quorvel::runtime {

enum class RunStatus : std::uint8_t { Completed, Faulted, Interrupted, StepLimit, OutOfMemory };

struct RunOutcome {
  RunStatus status = RunStatus::Completed;
  std::uint64_t rax = 0;                    // Completed
  int signal = 0;                           // Faulted, Interrupted
  std::string message;                      // "Execution fault: ...", "Execution interrupted by signal ..."
  std::optional<std::size_t> fault_offset;  // Faulted inside the code: where its instruction starts
};

// What the guard must be ready for. Each need costs a check per run that
// the guard's handlers are still in front (a system call per signal), so a
// run asks only for what its code can do: code that cannot fault and cannot
// loop runs without any system call.
struct GuardNeeds {
  bool divide_errors = true;  // a division
  bool stack_faults = true;   // a push or call reaching the stack's guard page
  bool any_fault = true;      // code that may jump anywhere (a corrupted frame, single-stepping)
  bool interrupts = true;     // code that may run for long
};

// The registers a trace records, in this order.
inline constexpr std::size_t kTracedRegisterCount = 14;

struct StepRecord {
  std::uint32_t offset = 0;  // where the instruction that ended the step starts
  std::uint64_t registers[kTracedRegisterCount] = {};  // rax rbx rcx rdx rsi rdi rbp r8 r9 r10 r12 r13 r14 r15
  std::uint64_t rflags = 0;
};

// The record of a single-stepped run, owned by the caller. After every
// instruction that starts at an offset whose `step_points` byte is nonzero,
// the registers are appended to `records`. A step beyond `limit` ends the
// run with RunStatus::StepLimit. When `records` is full, `make_room` is asked
// for more (new `records` holding the old ones, and a larger `capacity`); if
// it cannot, the run ends with RunStatus::OutOfMemory. It is called from a
// signal handler while generated code runs: it may map memory, but must not
// throw or take locks.
struct StepLog {
  const std::uint8_t* step_points = nullptr;  // one byte per code byte
  std::size_t limit = 0;
  StepRecord* records = nullptr;
  std::size_t capacity = 0;
  std::size_t count = 0;
  bool (*make_room)(StepLog& log, void* context) = nullptr;
  void* context = nullptr;

  enum class Room : std::uint8_t { Ready, LimitReached, NoRoom };
  // Whether one more step may be recorded, asking `make_room` when full.
  Room room_for_step();
};

// How a traced run ends when it reaches its step limit or runs out of room.
RunOutcome step_limit_outcome();
RunOutcome no_room_outcome();

// One run, from arming to the end of the code. Arming puts the guard's
// handlers in front of the fault signals and of the interrupt signals that
// have a handler, and from then on an interrupt that arrives before the code
// starts stops the run before its first instruction; so the host can run
// its own pending-signal check after arming without losing a signal. A run
// armed while another is armed (a signal handler of the host that runs code
// of its own) leaves the outer run's state as it found it.
class GuardedRun {
 public:
  explicit GuardedRun(GuardNeeds needs);
  ~GuardedRun();
  GuardedRun(const GuardedRun&) = delete;
  GuardedRun& operator=(const GuardedRun&) = delete;

  // Calls offset 0 of `code` on `stack`; once per GuardedRun.
  RunOutcome run(const std::uint8_t* code, std::size_t length, const CodeStack& stack, StepLog* steps = nullptr);

  // What arming changes, kept to be put back.
  struct ArmState {
    int armed = 0;
    int pending = 0;
    std::uintptr_t thread = 0;
  };

  // What arming took from the thread, to be given back when the run ends,
  // one bit per signal (POSIX): handlers whose place in front the run
  // borrowed, and fault signals the thread had blocked.
  struct Taken {
    std::uint64_t fronts = 0;
    std::uint64_t unblocked = 0;
  };

 private:
  ArmState outer_;
  Taken taken_;
};

}  // namespace quorvel::runtime
