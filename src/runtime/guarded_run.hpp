#pragma once
// Running generated code without putting the host at risk. The code runs on
// a stack of its own between guard pages, a trampoline restores the host's
// preserved registers whatever the code did to them, a fault inside the run
// comes back as an outcome, and the interrupt signals someone handles stop
// the run. The same machinery stops code between two instructions and
// resumes it later, which is how the lab steps through a program.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/result.hpp"
#include "runtime/code_stack.hpp"

namespace quorvel::runtime {

enum class RunStatus : std::uint8_t {
  Completed,    // the code returned
  Faulted,      // the code raised a fault
  Interrupted,  // an interrupt signal stopped it
  Paused,       // a resumed run took its steps or its one instruction
  Breakpoint,   // a resumed run is about to run a marked instruction
  AtExit,       // a resumed run reached the epilogue
  Refused,      // the run could not start (no signal stack): nothing ran
};

struct RunOutcome {
  RunStatus status = RunStatus::Completed;
  std::uint64_t rax = 0;                    // Completed
  int signal = 0;                           // Faulted, Interrupted
  std::string message;                      // "Execution fault: ...", "Execution interrupted by signal ..."
  std::optional<std::size_t> fault_offset;  // Faulted inside the code: where its instruction starts
  std::uintptr_t fault_address = 0;         // Faulted: the address the instruction could not reach, if any
};

// What the guard must be ready for. Each need costs a check per run that
// the guard's handlers are still in front (a system call per signal), so a
// run asks only for what its code can do: code that cannot fault and cannot
// loop runs without any system call.
struct GuardNeeds {
  bool divide_errors = true;  // a division
  bool stack_faults = true;   // a push or call reaching the stack's guard page
  bool any_fault = true;      // code that may jump anywhere (a corrupted frame, stepping)
  bool interrupts = true;     // code that may run for long
};

// The registers of code stopped between two instructions. `gpr` is indexed
// by the processor's register number: rax rcx rdx rbx rsp rbp rsi rdi r8..r15.
struct MachineState {
  std::uint64_t gpr[16] = {};
  std::uint64_t rip = 0;
  std::uint64_t rflags = 0;
};

// Register numbers, for `MachineState::gpr`.
enum Gpr : std::uint8_t { kRax, kRcx, kRdx, kRbx, kRsp, kRbp, kRsi, kRdi, kR8, kR9, kR10, kR11, kR12, kR13, kR14, kR15 };

// The state in which generated code starts when it is resumed instead of
// called: at `entry`, on `stack`, returning to the host like a call would,
// with flags cleared and every register zero.
MachineState initial_state(const std::uint8_t* entry, const CodeStack& stack);

// The registers a step records, in this order.
inline constexpr std::size_t kTracedRegisterCount = 14;
inline constexpr Gpr kTracedRegisters[kTracedRegisterCount] = {kRax, kRbx, kRcx, kRdx, kRsi, kRdi, kRbp,
                                                               kR8,  kR9,  kR10, kR12, kR13, kR14, kR15};

struct StepRecord {
  std::uint32_t offset = 0;  // where the instruction that ended the step starts
  std::uint64_t registers[kTracedRegisterCount] = {};  // in kTracedRegisters order
  std::uint64_t rflags = 0;
  std::uint64_t rsp = 0;
  std::uint64_t stack_top = 0;  // the word at rsp, when rsp is below `Resumption::program_rsp`
};

// Per code byte of a resumed run.
enum CodeMark : std::uint8_t {
  kStepPoint = 1,   // a statement's last instruction starts here: running it ends a step
  kStopBefore = 2,  // a stepping run stops before this instruction; a free run finds a trap here
};

// How resumed code runs and where it stops. It runs from `state` freely, or
// stepping (a trap after every instruction), and stops at the first of:
// `step_budget` steps taken, one instruction run (when `one_instruction`),
// the epilogue reached (`exit_offset`), a marked instruction about to run,
// the end of the code, a fault or an interrupt. Wherever it stops inside the
// code, `state` is rewritten with the registers there, so the next
// resumption goes on from that point.
struct Resumption {
  MachineState* state = nullptr;
  const CodeStack* stack = nullptr;    // the stack `state` runs on
  const std::uint8_t* code = nullptr;  // the executable view
  std::size_t length = 0;
  const std::uint8_t* marks = nullptr;  // CodeMark bits, one byte per code byte
  std::size_t exit_offset = 0;
  bool stepping = false;
  bool one_instruction = false;
  std::size_t step_budget = SIZE_MAX;
  std::uint64_t program_rsp = 0;  // rsp where the program's own stack begins
  StepRecord* records = nullptr;  // room for `step_budget` records, or nullptr
  std::size_t steps_taken = 0;    // out
};

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
  RunOutcome run(const std::uint8_t* code, std::size_t length, const CodeStack& stack);

  // Goes on from `resumption.state`; once per GuardedRun.
  RunOutcome resume(Resumption& resumption);

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
