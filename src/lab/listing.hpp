#pragma once
// What the lab shows of a program: which bytes each statement became.

#include <cstdint>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "registers/register_file.hpp"

namespace quorvel::lab {

struct ListingRow {
  std::uint32_t statement = 0;
  std::uint32_t line = 0;  // physical line, from 1
  std::string_view text;   // the statement as written, trimmed
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
};

struct Listing {
  std::vector<std::uint8_t> code;  // the whole function, as execute() would run it
  std::vector<ListingRow> rows;    // one per kept statement, in order
};

// The function execute() would generate for `text` with `registers`, and
// where each statement's bytes are; fails exactly as execute() would.
Result<Listing> make_listing(std::string_view text, const registers::RegisterFile& registers);

}  // namespace quorvel::lab
