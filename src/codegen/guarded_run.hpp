#pragma once
// Running generated code without putting the host at risk: the code runs on
// a stack of its own between guard pages, a trampoline restores the host's
// preserved registers whatever the code did to them, faults inside the run
// come back as an outcome, and the signals the host handles (SIGINT, SIGTERM,
// SIGALRM) stop the run.

#include <csignal>
#include <cstdint>
#include <string>

#include "codegen/executable_buffer.hpp"
#include "common/result.hpp"
#include "platform/mapping.hpp"

namespace quorvel::codegen {

// 1 MiB for generated code, with an inaccessible page below and above.
class CodeStack {
 public:
  static constexpr std::size_t kSize = 1 << 20;

  static Result<CodeStack> create();
  // 16-byte aligned; the code's return address is pushed just below it.
  void* top() const;

 private:
  explicit CodeStack(platform::Mapping mapping) : mapping_(std::move(mapping)) {}
  platform::Mapping mapping_;
};

enum class RunStatus : std::uint8_t { Completed, Faulted, Interrupted };

struct RunOutcome {
  RunStatus status = RunStatus::Completed;
  std::uint64_t rax = 0;      // Completed
  int signal = 0;             // Faulted, Interrupted
  std::string message;        // Faulted: "Execution fault: ...", Interrupted: "Execution interrupted by signal ..."
};

// Runs the code; makes no system call once the process and thread are set up.
RunOutcome run_guarded(const ExecutableBuffer& code, const CodeStack& stack);

// The signals that stop a run when the host has a handler for them.
inline constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGALRM};

// Puts the run guard's handler in front of whatever handles `signal` now;
// outside a run it passes every signal on to that handler. Call it before a
// run for each interrupt signal the host handles: the host may have replaced
// the guard's handler since the last run.
void claim_interrupt_signal(int signal);

// From here until the run on this thread ends, an interrupt signal that
// arrives before the code starts is remembered and stops the run before its
// first instruction, so no signal is lost between the host's own check for
// pending signals and the start of the run.
void arm_interrupts();
void disarm_interrupts();

}  // namespace quorvel::codegen
