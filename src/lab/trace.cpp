#include "lab/trace.hpp"

#include <algorithm>
#include <cstring>

#include "platform/os_error.hpp"

namespace quorvel::lab {
namespace {

// mov cl, imm8: the first of the two instructions of a shift by a count
// other than 1, the only statement that encodes as more than one.
constexpr std::uint8_t kMovClImm8 = 0xB1;
constexpr std::uint32_t kMovClImm8Size = 2;

std::uint32_t last_instruction(const std::vector<std::uint8_t>& code, const ListingRow& row) {
  const bool two_instructions = code[row.offset] == kMovClImm8 && row.size > kMovClImm8Size;
  return row.offset + (two_instructions ? kMovClImm8Size : 0);
}

}  // namespace

Result<TracePlan> TracePlan::create(std::string_view text, const registers::RegisterFile& registers,
                                    std::size_t max_steps) {
  Result<Listing> listing = make_listing(text, registers);
  if (!listing) return std::move(listing).error();
  TracePlan plan;
  plan.listing_ = std::move(listing).value();
  const std::vector<std::uint8_t>& code = plan.listing_.code;

  if (int error = platform::CodePages::create(code.size(), plan.pages_); error != 0) {
    return value_error("Assembler creation failed: " + platform::os_error_description(error));
  }
  if (int error = plan.pages_.begin_write(); error != 0) {
    return value_error("Could not swap buffer protection modes: " + platform::os_error_description(error));
  }
  std::memcpy(plan.pages_.writable(), code.data(), code.size());
  if (int error = plan.pages_.end_write(); error != 0) {
    return value_error("Could not swap buffer protection modes: " + platform::os_error_description(error));
  }

  plan.step_points_.assign(code.size(), 0);
  for (const ListingRow& row : plan.listing_.rows) {
    if (row.size != 0) plan.step_points_[last_instruction(code, row)] = 1;
  }
  plan.log_.step_points = plan.step_points_.data();
  plan.log_.limit = max_steps;
  plan.log_.make_room = make_room;
  return plan;
}

// Doubles the records' mapping: called from the trap handler, so it maps and
// copies, and allocates nothing on the heap.
bool TracePlan::make_room(runtime::StepLog& log, void* context) {
  TracePlan& plan = *static_cast<TracePlan*>(context);
  constexpr std::size_t kFirstCapacity = 4096;
  const std::size_t capacity = log.capacity == 0 ? kFirstCapacity : 2 * log.capacity;
  if (capacity > SIZE_MAX / sizeof(runtime::StepRecord)) return false;
  platform::Mapping larger;
  if (platform::Mapping::create(capacity * sizeof(runtime::StepRecord), platform::Protection::ReadWrite, larger) != 0) {
    return false;
  }
  if (log.count != 0) std::memcpy(larger.data(), plan.records_.data(), log.count * sizeof(runtime::StepRecord));
  plan.records_ = std::move(larger);
  log.records = reinterpret_cast<runtime::StepRecord*>(plan.records_.data());
  log.capacity = capacity;
  return true;
}

std::uint32_t TracePlan::statement_of_step(std::uint32_t offset) const {
  const std::vector<ListingRow>& rows = listing_.rows;
  auto row = std::upper_bound(rows.begin(), rows.end(), offset,
                              [](std::uint32_t value, const ListingRow& r) { return value < r.offset; });
  while (row != rows.begin()) {
    --row;
    if (row->size != 0 && offset < row->offset + row->size) return row->statement;
  }
  return 0;
}

}  // namespace quorvel::lab
