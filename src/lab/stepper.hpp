#pragma once
// Stepping through a program natively: the function listing() shows, in
// code pages and on a stack of its own, stopped before its first statement
// and resumed one statement, one batch of steps or one stretch at full
// speed at a time. Between two resumptions the code is not running and the
// thread may do anything else, run other code included.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codegen/program.hpp"
#include "common/result.hpp"
#include "platform/code_pages.hpp"
#include "registers/register_file.hpp"
#include "runtime/code_stack.hpp"
#include "runtime/guarded_run.hpp"

namespace quorvel::lab {

// A generated program and where each statement is, in the code and in the
// text: 20 bytes a statement, so that a program of millions of statements
// costs little more than its code. Shared by a stepper and the steps it
// made, which may outlive it.
struct SteppedProgram {
  std::vector<std::uint8_t> code;  // as listing() makes it
  std::vector<std::uint32_t> offsets;  // statement n at index n - 1; without bytes, where the next code starts
  std::vector<codegen::StatementText> texts;
  std::uint32_t exit_offset = 0;  // where the epilogue starts

  std::size_t statement_count() const { return offsets.size(); }
  std::string_view text_of(std::uint32_t statement, std::string_view source) const;
  std::string_view code_of(std::uint32_t statement, std::string_view source) const;
  // The statement whose bytes contain `offset`, or 0 (the frame).
  std::uint32_t statement_at(std::size_t offset) const;
};

// How the host runs a resumption: arming the guard and giving its own
// pending signals their turn first. False when the host wants to stop for a
// reason of its own (an exception of a signal handler); the code then stays
// wherever it stopped.
class Runner {
 public:
  virtual bool resume(runtime::Resumption& resumption, runtime::RunOutcome& outcome) = 0;

 protected:
  ~Runner() = default;
};

enum class Pause : std::uint8_t {
  Step,        // step(): one statement ran
  Breakpoint,  // a breakpoint's statement is about to run
  StepLimit,   // the steps asked for ran
  Ended,       // the program completed or faulted
  Host,        // the host stopped it (see Runner)
  Failed,      // the stepper could not go on: see failure()
};

class Stepper {
 public:
  // Generates `text` as listing() does. `text` must outlive the stepper.
  static Result<Stepper> create(std::string_view text, const registers::RegisterFile& registers);

  Stepper(Stepper&&) noexcept = default;
  Stepper& operator=(Stepper&&) noexcept = default;
  Stepper(const Stepper&) = delete;
  Stepper& operator=(const Stepper&) = delete;
  ~Stepper() = default;

  // Runs one statement; `record` holds its registers after it when the
  // result is Pause::Step.
  Pause step(Runner& runner, runtime::StepRecord& record);
  // Goes on until a statement of `breakpoints` is about to run (a statement
  // without bytes stands for the next one that has them), the program ends,
  // or `max_steps` statements have run. Without `max_steps` it runs at full
  // speed, with a trap planted at each breakpoint and at the epilogue.
  Pause run(Runner& runner, std::optional<std::uint64_t> max_steps, std::span<const std::uint32_t> breakpoints);
  // Steps into `records`, `count` of them, until `capacity` are there
  // (Pause::StepLimit), the program ends, or the host stops it.
  Pause record(Runner& runner, runtime::StepRecord* records, std::size_t capacity, std::size_t& count);

  const std::shared_ptr<const SteppedProgram>& program() const { return program_; }
  const Error& failure() const { return failure_; }
  // A stepper made before a fork cannot go on in the child, whose code
  // pages are gone.
  bool lost_in_fork() const;
  static Error lost_in_fork_error();

  bool ended() const { return ended_; }
  bool completed() const { return ended_ && fault_.empty(); }
  std::uint64_t rax() const { return rax_; }
  const std::string& fault() const { return fault_; }   // the fault message, when it faulted
  const std::string& note() const { return note_; }     // where and why it faulted
  std::uint32_t fault_statement() const { return fault_statement_; }

  // The statement that runs next (0 at the end or in the epilogue), or
  // after a fault the statement that faulted (0 for the frame).
  std::uint32_t statement() const;
  // The registers as the program sees them: at completion, as it left
  // them for the epilogue; after a fault, where it faulted.
  const runtime::MachineState& state() const { return state_; }
  // Words pushed minus words popped since the program began.
  std::int64_t stack_depth() const;
  // The words pushed and not popped, top first.
  std::vector<std::uint64_t> stack() const;
  // Statements run so far, when known: a full-speed run does not count them.
  std::optional<std::uint64_t> steps() const { return steps_known_ ? std::optional(steps_) : std::nullopt; }
  // Statements stepped so far: what numbers the next Step.
  std::uint64_t counted_steps() const { return steps_; }
  std::uint64_t program_rsp() const { return program_rsp_; }

  // The words of the frame above the program's stack: the five registers
  // the prologue saves, rbp, and the return address.
  static constexpr std::size_t kFrameWords = 7;

 private:
  Stepper() = default;

  runtime::Resumption resumption();
  bool at_exit() const;
  bool frame_intact() const;
  Pause fail(Error error);
  // Resumes until the run stops for a reason of its own: an interrupt that
  // the host's handlers let pass just resumes. False when the host stopped,
  // or the run could not start.
  bool resume(Runner& runner, runtime::Resumption& resumption, runtime::RunOutcome& outcome);
  // Handles how a resumption ended; true when the program ended.
  bool settle(const runtime::RunOutcome& outcome);
  Pause finish_epilogue(Runner& runner);
  Pause run_free(Runner& runner);
  Pause run_stepping(Runner& runner, std::uint64_t max_steps);
  void note_steps(const runtime::StepRecord* records, std::size_t count);
  void mark_breakpoints(std::span<const std::uint32_t> breakpoints, bool marked);
  Status plant_traps(bool planted);
  std::string epilogue_note(const runtime::RunOutcome& outcome) const;
  std::string rbp_writer() const;

  std::string_view source_;
  std::shared_ptr<const SteppedProgram> program_;
  platform::CodePages pages_;
  std::optional<runtime::CodeStack> stack_;
  std::vector<std::uint8_t> marks_;  // runtime::CodeMark bits per code byte
  runtime::MachineState state_;
  std::optional<runtime::MachineState> exit_state_;  // when the epilogue began
  std::uint64_t program_rsp_ = 0;
  std::uint64_t frame_rbp_ = 0;
  std::array<std::uint64_t, kFrameWords> frame_words_{};
  std::uint64_t steps_ = 0;
  bool steps_known_ = true;
  // Which statement last changed rbp, while every step has been seen.
  std::uint64_t last_rbp_ = 0;
  std::uint32_t rbp_writer_ = 0;
  bool rbp_tracked_ = true;
  bool started_ = false;  // anything has run
  bool ended_ = false;
  std::uint64_t rax_ = 0;
  std::string fault_;
  std::string note_;
  std::uint32_t fault_statement_ = 0;
  Error failure_;
};

}  // namespace quorvel::lab
