#pragma once
// Single-stepping a program natively: the code of a listing in pages of its
// own, which instructions end a statement's step, and room for the steps.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "lab/listing.hpp"
#include "platform/code_pages.hpp"
#include "platform/mapping.hpp"
#include "runtime/guarded_run.hpp"

namespace quorvel::lab {

class TracePlan {
 public:
  // Generates `text` as execute() would and prepares a run that records at
  // most `max_steps` steps, with memory for them taken as they come.
  static Result<TracePlan> create(std::string_view text, const registers::RegisterFile& registers,
                                  std::size_t max_steps);

  const Listing& listing() const { return listing_; }
  const std::uint8_t* entry() const { return pages_.executable(); }
  std::size_t length() const { return listing_.code.size(); }
  // The record of the run; it refers back to this plan, which must not move
  // while the run takes steps.
  runtime::StepLog& log() {
    log_.context = this;
    return log_;
  }

  // The statement whose bytes contain `offset`.
  std::uint32_t statement_of_step(std::uint32_t offset) const;

 private:
  TracePlan() = default;

  Listing listing_;
  platform::CodePages pages_;
  static bool make_room(runtime::StepLog& log, void* plan);

  std::vector<std::uint8_t> step_points_;  // per code byte: 1 where a statement's last instruction starts
  platform::Mapping records_;             // grown as steps are taken
  runtime::StepLog log_;
};

}  // namespace quorvel::lab
