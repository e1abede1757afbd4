#pragma once
// Label name (exact text) to dynamic label for one generation. A large
// program looks a name up at every jump, so this is an open-addressing table
// of small slots (hash and entry number) over a dense list of entries,
// rather than a node per name.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "codegen/assembler.hpp"

namespace quorvel::codegen {

class LabelIds {
 public:
  // The label of `name`, or nullptr.
  const DynamicLabel* find(std::string_view name) const;

  // Enters `name` with a new label from `assembler` unless it is present.
  void add(std::string_view name, Assembler& assembler);

 private:
  struct Entry {
    std::string_view name;
    DynamicLabel label;
  };
  struct Slot {
    std::uint32_t hash = 0;
    std::uint32_t entry = 0;  // index into entries_ plus one; 0 is empty
  };

  static std::uint64_t hash(std::string_view name);
  std::size_t probe(std::string_view name, std::uint64_t hash) const;
  void grow();

  std::vector<Slot> slots_;
  std::vector<Entry> entries_;
};

}  // namespace quorvel::codegen
