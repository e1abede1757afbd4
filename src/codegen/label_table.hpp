#pragma once
// Label names (exact text) of one generation, with what the generator must
// know about each: its dynamic label, where it is first used and where it is
// defined the first and second time. A large program looks a name up at
// every jump, so this is an open-addressing table of small slots (hash and
// entry number) over a dense list of entries, rather than a node per name.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "codegen/assembler.hpp"

namespace quorvel::codegen {

struct LabelEntry {
  std::string_view name;
  DynamicLabel label = 0;
  std::uint32_t first_use = 0;          // statement of the first jump or call to it, or 0
  std::uint32_t first_definition = 0;   // statement, or 0
  std::uint32_t second_definition = 0;  // statement, or 0
};

class LabelTable {
 public:
  // The entry of `name`, made with a new label from `assembler` if needed.
  LabelEntry& entry(std::string_view name, Assembler& assembler);

  const std::vector<LabelEntry>& entries() const { return entries_; }

 private:
  struct Slot {
    std::uint32_t hash = 0;
    std::uint32_t entry = 0;  // index into entries_ plus one; 0 is empty
  };

  static std::uint64_t hash(std::string_view name);
  std::size_t probe(std::string_view name, std::uint64_t hash) const;
  void grow();

  std::vector<Slot> slots_;
  std::vector<LabelEntry> entries_;
};

}  // namespace quorvel::codegen
