#include "runtime/guarded_run.hpp"

namespace quorvel::runtime {

StepLog::Room StepLog::room_for_step() {
  if (count == limit) return Room::LimitReached;
  if (count == capacity && (make_room == nullptr || !make_room(*this, context))) return Room::NoRoom;
  return Room::Ready;
}

RunOutcome step_limit_outcome() {
  RunOutcome outcome;
  outcome.status = RunStatus::StepLimit;
  return outcome;
}

RunOutcome no_room_outcome() {
  RunOutcome outcome;
  outcome.status = RunStatus::OutOfMemory;
  outcome.message = "Out of memory for the steps of the trace";
  return outcome;
}

}  // namespace quorvel::runtime
