#include "lab/stepper.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>
#include <limits>

#include "codegen/program.hpp"
#include "frontend/parser.hpp"
#include "platform/os_error.hpp"

namespace quorvel::lab {
namespace {

using runtime::Gpr;
using runtime::RunStatus;

// mov cl, imm8: the first of the two instructions of a shift by a count
// other than 1, the only statement that encodes as more than one.
constexpr std::uint8_t kMovClImm8 = 0xB1;
constexpr std::uint32_t kMovClImm8Size = 2;
constexpr std::uint8_t kInt3 = 0xCC;

// The registers the frame loads, in the order of its loads (which is the
// order of codegen::loaded_values).
constexpr Gpr kLoadedRegisters[codegen::kLoadedRegisterCount] = {
    runtime::kRax, runtime::kRbx, runtime::kRcx, runtime::kRdx, runtime::kRsi, runtime::kRdi, runtime::kR8,
    runtime::kR9,  runtime::kR10, runtime::kR12, runtime::kR13, runtime::kR14, runtime::kR15};
// What the prologue saves after rbp.
constexpr Gpr kSavedByPrologue[] = {runtime::kRbx, runtime::kR12, runtime::kR13, runtime::kR14, runtime::kR15};
constexpr std::size_t kRbpRecordIndex = 6;  // in runtime::kTracedRegisters

std::uint32_t last_instruction(const std::vector<std::uint8_t>& code, std::uint32_t offset, std::uint32_t size) {
  const bool two_instructions = code[offset] == kMovClImm8 && size > kMovClImm8Size;
  return offset + (two_instructions ? kMovClImm8Size : 0);
}

std::string hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%#llx", static_cast<unsigned long long>(value));
  return text;
}

Error code_memory_error(int error) {
  return panic_error("Could not swap buffer protection modes: " + platform::os_error_description(error));
}

}  // namespace

std::string_view SteppedProgram::text_of(std::uint32_t statement, std::string_view source) const {
  const codegen::StatementText& text = texts[statement - 1];
  return source.substr(text.begin, text.length);
}

std::string_view SteppedProgram::code_of(std::uint32_t statement, std::string_view source) const {
  const codegen::StatementText& text = texts[statement - 1];
  return source.substr(text.begin, text.code_length);
}

std::uint32_t SteppedProgram::statement_at(std::size_t offset) const {
  if (offset < codegen::kBodyOffset || offset >= exit_offset) return 0;
  // Statements without bytes share their offset with the next one that has
  // them, which is the last statement starting at or before `offset`.
  const auto after = std::upper_bound(offsets.begin(), offsets.end(), offset);
  return static_cast<std::uint32_t>(after - offsets.begin());
}

Result<Stepper> Stepper::create(std::string_view text, const registers::RegisterFile& registers) {
  Result<codegen::GeneratedCode> generated = codegen::generate_code(text, codegen::StatementOffsets::Record);
  if (!generated) return std::move(generated).error();
  codegen::GeneratedCode& made = generated.value();
  codegen::write_register_loads(made.bytes.data(), codegen::loaded_values(registers));

  Stepper stepper;
  stepper.source_ = text;
  auto program = std::make_shared<SteppedProgram>();
  program->exit_offset = static_cast<std::uint32_t>(made.bytes.size() - codegen::kEpilogueSize);
  stepper.marks_.assign(made.bytes.size(), 0);
  for (std::uint32_t number = 1; number <= made.statement_offsets.size(); ++number) {
    const std::uint32_t offset = made.statement_offsets[number - 1];
    const std::uint32_t end = number < made.statement_offsets.size() ? made.statement_offsets[number]
                                                                     : program->exit_offset;
    if (end != offset) stepper.marks_[last_instruction(made.bytes, offset, end - offset)] |= runtime::kStepPoint;
  }
  program->code = std::move(made.bytes);
  program->offsets = std::move(made.statement_offsets);
  program->texts = std::move(made.statements);

  const std::vector<std::uint8_t>& code = program->code;
  if (int error = platform::CodePages::create(code.size(), stepper.pages_); error != 0) {
    return value_error("Assembler creation failed: " + platform::os_error_description(error));
  }
  if (int error = stepper.pages_.begin_write(); error != 0) return code_memory_error(error);
  std::memcpy(stepper.pages_.writable(), code.data(), code.size());
  if (int error = stepper.pages_.end_write(); error != 0) return code_memory_error(error);

  Result<runtime::CodeStack> stack = runtime::CodeStack::create();
  if (!stack) return std::move(stack).error();
  stepper.stack_.emplace(std::move(stack).value());

  // The state after the frame's prologue and register loads, which are
  // straight-line code without a fault to fear: the stepper starts before
  // the first statement, and its first step is that statement's.
  runtime::MachineState& state = stepper.state_;
  state = runtime::initial_state(stepper.pages_.executable(), *stepper.stack_);
  const auto push = [&state](std::uint64_t value) {
    state.gpr[runtime::kRsp] -= 8;
    *reinterpret_cast<std::uint64_t*>(state.gpr[runtime::kRsp]) = value;
  };
  push(state.gpr[runtime::kRbp]);
  state.gpr[runtime::kRbp] = state.gpr[runtime::kRsp];
  for (Gpr saved : kSavedByPrologue) push(state.gpr[saved]);
  const codegen::LoadedValues values = codegen::loaded_values(registers);
  for (std::size_t i = 0; i < values.size(); ++i) state.gpr[kLoadedRegisters[i]] = values[i];
  state.rip += codegen::kBodyOffset;
  stepper.frame_rbp_ = state.gpr[runtime::kRbp];
  stepper.last_rbp_ = stepper.frame_rbp_;
  stepper.program_rsp_ = state.gpr[runtime::kRsp];
  const auto* frame = reinterpret_cast<const std::uint64_t*>(stepper.program_rsp_);
  std::copy(frame, frame + kFrameWords, stepper.frame_words_.begin());
  stepper.program_ = std::move(program);
  return stepper;
}

runtime::Resumption Stepper::resumption() {
  runtime::Resumption resumption;
  resumption.state = &state_;
  resumption.stack = &*stack_;
  resumption.code = pages_.executable();
  resumption.length = program_->code.size();
  resumption.marks = marks_.data();
  resumption.exit_offset = program_->exit_offset;
  resumption.program_rsp = program_rsp_;
  return resumption;
}

bool Stepper::at_exit() const {
  return state_.rip == reinterpret_cast<std::uint64_t>(pages_.executable()) + program_->exit_offset;
}

bool Stepper::resume(Runner& runner, runtime::Resumption& resumption, runtime::RunOutcome& outcome) {
  const std::size_t budget = resumption.step_budget;
  runtime::StepRecord* const records = resumption.records;
  std::size_t taken = 0;
  bool go_on = true;
  for (;;) {
    go_on = runner.resume(resumption, outcome);
    taken += resumption.steps_taken;
    if (!go_on || outcome.status != RunStatus::Interrupted) break;
    // The host's handlers ran and let the signal pass: go on where it stopped.
    if (budget != SIZE_MAX) resumption.step_budget = budget - taken;
    if (records != nullptr) resumption.records = records + taken;
  }
  resumption.steps_taken = taken;
  resumption.step_budget = budget;
  resumption.records = records;
  // Nothing ran (no signal stack): the stepper stays where it was.
  return go_on && outcome.status != RunStatus::Refused;
}

void Stepper::note_steps(const runtime::StepRecord* records, std::size_t count) {
  steps_ += count;
  if (records == nullptr) {
    rbp_tracked_ = rbp_tracked_ && count == 0;
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t rbp = records[i].registers[kRbpRecordIndex];
    if (rbp != last_rbp_) rbp_writer_ = program_->statement_at(records[i].offset);
    last_rbp_ = rbp;
  }
}

bool Stepper::settle(const runtime::RunOutcome& outcome) {
  switch (outcome.status) {
    case RunStatus::Completed:
      ended_ = true;
      rax_ = outcome.rax;
      if (exit_state_) state_ = *exit_state_;
      return true;
    case RunStatus::Faulted: {
      ended_ = true;
      fault_ = outcome.message;
      const bool in_statement = outcome.fault_offset && *outcome.fault_offset < program_->exit_offset;
      if (in_statement) fault_statement_ = program_->statement_at(*outcome.fault_offset);
      if (fault_statement_ != 0) {
        note_ = "in statement " + std::to_string(fault_statement_) + ": ";
        note_ += program_->code_of(fault_statement_, source_);
      } else if (exit_state_) {
        note_ = epilogue_note(outcome);
        state_ = *exit_state_;
      }
      return true;
    }
    case RunStatus::AtExit: exit_state_ = state_; return false;
    case RunStatus::Interrupted:
      // An interrupt the code could not be stopped at cleanly: it ends here.
      ended_ = true;
      fault_ = outcome.message;
      return true;
    case RunStatus::Paused:
    case RunStatus::Breakpoint:
    case RunStatus::Refused: return false;
  }
  return false;
}

Pause Stepper::finish_epilogue(Runner& runner) {
  runtime::Resumption resumption = this->resumption();
  runtime::RunOutcome outcome;
  if (!resume(runner, resumption, outcome)) return Pause::Host;
  settle(outcome);
  return Pause::Ended;
}

Pause Stepper::step(Runner& runner, runtime::StepRecord& record) {
  if (ended_) return Pause::Ended;
  started_ = true;
  if (lost_in_fork()) return fail(lost_in_fork_error());
  if (at_exit()) return finish_epilogue(runner);
  runtime::Resumption resumption = this->resumption();
  resumption.stepping = true;
  resumption.step_budget = 1;
  resumption.records = &record;
  runtime::RunOutcome outcome;
  const bool go_on = resume(runner, resumption, outcome);
  note_steps(&record, resumption.steps_taken);
  if (!go_on) return Pause::Host;
  if (settle(outcome)) return Pause::Ended;
  if (resumption.steps_taken == 1) return Pause::Step;
  // The code left its statements without finishing one (at the epilogue).
  return step(runner, record);
}

Pause Stepper::record(Runner& runner, runtime::StepRecord* records, std::size_t capacity, std::size_t& count) {
  count = 0;
  if (ended_) return Pause::Ended;
  started_ = true;
  if (lost_in_fork()) return fail(lost_in_fork_error());
  if (!at_exit()) {
    runtime::Resumption resumption = this->resumption();
    resumption.stepping = true;
    resumption.step_budget = capacity;
    resumption.records = records;
    runtime::RunOutcome outcome;
    const bool go_on = resume(runner, resumption, outcome);
    count = resumption.steps_taken;
    note_steps(records, count);
    if (!go_on) return Pause::Host;
    if (settle(outcome)) return Pause::Ended;
    if (outcome.status != RunStatus::AtExit) return Pause::StepLimit;
  }
  return finish_epilogue(runner);
}

Pause Stepper::run(Runner& runner, std::optional<std::uint64_t> max_steps,
                   std::span<const std::uint32_t> breakpoints) {
  if (ended_) return Pause::Ended;
  if (lost_in_fork()) return fail(lost_in_fork_error());
  mark_breakpoints(breakpoints, true);
  // A program that has not started stops at a breakpoint on its first
  // statement before running anything: nothing was stopped there yet.
  const std::size_t here = static_cast<std::size_t>(state_.rip - reinterpret_cast<std::uint64_t>(pages_.executable()));
  const bool waiting_at_start = !started_ && here < marks_.size() && (marks_[here] & runtime::kStopBefore);
  started_ = true;
  const Pause pause = waiting_at_start ? Pause::Breakpoint
                      : max_steps      ? run_stepping(runner, *max_steps)
                                       : run_free(runner);
  mark_breakpoints(breakpoints, false);
  return pause;
}

Pause Stepper::run_stepping(Runner& runner, std::uint64_t max_steps) {
  std::uint64_t remaining = max_steps;
  for (;;) {
    if (at_exit()) return finish_epilogue(runner);
    if (remaining == 0) return Pause::StepLimit;
    runtime::Resumption resumption = this->resumption();
    resumption.stepping = true;
    resumption.step_budget = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, SIZE_MAX - 1));
    runtime::RunOutcome outcome;
    const bool go_on = resume(runner, resumption, outcome);
    note_steps(nullptr, resumption.steps_taken);
    remaining -= resumption.steps_taken;
    if (!go_on) return Pause::Host;
    if (settle(outcome)) return Pause::Ended;
    if (outcome.status == RunStatus::Breakpoint) return Pause::Breakpoint;
  }
}

Pause Stepper::run_free(Runner& runner) {
  steps_known_ = false;
  bool first = true;
  for (;;) {
    if (at_exit()) return finish_epilogue(runner);
    const std::size_t here = static_cast<std::size_t>(state_.rip - reinterpret_cast<std::uint64_t>(pages_.executable()));
    runtime::RunOutcome outcome;
    if (std::exchange(first, false) && here < marks_.size() && (marks_[here] & runtime::kStopBefore)) {
      // Standing on a breakpoint: its instruction runs first, trapped, and
      // only then do the traps go in; the next breakpoint may come at once.
      runtime::Resumption over = this->resumption();
      over.one_instruction = true;
      if (!resume(runner, over, outcome)) return Pause::Host;
      if (settle(outcome)) return Pause::Ended;
      if (outcome.status == RunStatus::Breakpoint) return Pause::Breakpoint;
      continue;
    }
    if (Status planted = plant_traps(true); !planted) return fail(std::move(planted).error());
    runtime::Resumption resumption = this->resumption();
    const bool go_on = resume(runner, resumption, outcome);
    if (Status removed = plant_traps(false); !removed) return fail(std::move(removed).error());
    if (!go_on) return Pause::Host;
    if (settle(outcome)) return Pause::Ended;
    if (outcome.status == RunStatus::Breakpoint) return Pause::Breakpoint;
  }
}

void Stepper::mark_breakpoints(std::span<const std::uint32_t> breakpoints, bool marked) {
  for (std::uint32_t statement : breakpoints) {
    if (statement == 0 || statement > program_->statement_count()) continue;
    const std::uint32_t offset = program_->offsets[statement - 1];
    if (offset >= program_->exit_offset) continue;  // nothing runs after it
    if (marked) {
      marks_[offset] |= runtime::kStopBefore;
    } else {
      marks_[offset] &= static_cast<std::uint8_t>(~runtime::kStopBefore);
    }
  }
}

Status Stepper::plant_traps(bool planted) {
  if (int error = pages_.begin_write(); error != 0) return code_memory_error(error);
  std::uint8_t* code = pages_.writable();
  const std::vector<std::uint8_t>& original = program_->code;
  const auto set = [&](std::size_t offset) { code[offset] = planted ? kInt3 : original[offset]; };
  for (std::size_t offset = codegen::kBodyOffset; offset < program_->exit_offset; ++offset) {
    if (marks_[offset] & runtime::kStopBefore) set(offset);
  }
  set(program_->exit_offset);
  if (int error = pages_.end_write(); error != 0) return code_memory_error(error);
  return success();
}

Pause Stepper::fail(Error error) {
  failure_ = std::move(error);
  return Pause::Failed;
}

bool Stepper::lost_in_fork() const { return pages_.lost_in_fork(); }

Error Stepper::lost_in_fork_error() {
  return value_error("This stepper's code did not survive fork(): make a new stepper in this process");
}

std::uint32_t Stepper::statement() const {
  if (ended_) return fault_statement_;
  return program_->statement_at(state_.rip - reinterpret_cast<std::uint64_t>(pages_.executable()));
}

std::int64_t Stepper::stack_depth() const {
  return (static_cast<std::int64_t>(program_rsp_) - static_cast<std::int64_t>(state_.gpr[runtime::kRsp])) / 8;
}

std::vector<std::uint64_t> Stepper::stack() const {
  const std::int64_t depth = stack_depth();
  // Stopped inside the epilogue, rsp may hold whatever rbp held: only words
  // of the stepper's own stack are read.
  const std::uint64_t rsp = state_.gpr[runtime::kRsp];
  const auto bottom = reinterpret_cast<std::uint64_t>(stack_->top()) - stack_->size();
  if (depth <= 0 || rsp < bottom) return {};
  const auto* top = reinterpret_cast<const std::uint64_t*>(rsp);
  return std::vector<std::uint64_t>(top, top + depth);
}

// The frame as the prologue left it: where the epilogue takes the caller's
// registers and the way back from.
bool Stepper::frame_intact() const {
  const auto* frame = reinterpret_cast<const std::uint64_t*>(program_rsp_);
  return std::equal(frame, frame + kFrameWords, frame_words_.begin());
}

std::string Stepper::epilogue_note(const runtime::RunOutcome& outcome) const {
  const runtime::MachineState& exit = *exit_state_;
  const std::uint64_t rbp = exit.gpr[runtime::kRbp];
  if (rbp != frame_rbp_) {
    std::string note = "in the epilogue, which restores rsp from rbp: rbp holds " + hex(rbp) + ", not the frame's " +
                       hex(frame_rbp_);
    const std::string writer = rbp_writer();
    if (!writer.empty()) note += "; " + writer;
    return note;
  }
  const std::int64_t depth =
      (static_cast<std::int64_t>(program_rsp_) - static_cast<std::int64_t>(exit.gpr[runtime::kRsp])) / 8;
  if (!frame_intact()) {
    std::string note =
        "after the epilogue: the program popped past where its stack began and pushed over the frame the epilogue "
        "restores the caller from";
    if (!outcome.fault_offset) note += ", so it returned to " + hex(outcome.fault_address);
    return note;
  }
  if (depth < 0) {
    const std::uint64_t extra = static_cast<std::uint64_t>(-depth);
    return "in the epilogue, which pops the caller's registers from the top of the stack: the program popped " +
           std::to_string(extra) + " more word" + (extra == 1 ? "" : "s") + " than it pushed";
  }
  return "in the epilogue";
}

std::string Stepper::rbp_writer() const {
  const auto named = [this](std::uint32_t statement) {
    return "statement " + std::to_string(statement) + " (" + std::string(program_->code_of(statement, source_)) + ")";
  };
  if (steps_known_ && rbp_tracked_ && rbp_writer_ != 0) return named(rbp_writer_) + " wrote it";
  std::vector<std::uint32_t> writers;
  frontend::StatementCursor cursor(source_);
  frontend::Instruction record;
  Error error;
  for (frontend::Statement statement; cursor.next(statement);) {
    if (frontend::parse_statement(statement.code, statement.number, record, error) != frontend::ParseOutcome::Record) {
      continue;
    }
    if (record.first == "rbp" && frontend::writes_first_operand(record.op)) {
      writers.push_back(statement.number);
    }
  }
  if (writers.size() == 1) return named(writers[0]) + " writes rbp";
  if (writers.empty()) return {};
  std::string text = "statements";
  for (std::size_t i = 0; i < writers.size(); ++i) {
    text += i == 0 ? " " : (i + 1 == writers.size() ? " and " : ", ");
    text += std::to_string(writers[i]);
  }
  return text + " write rbp";
}

}  // namespace quorvel::lab
