#include "codegen/label_table.hpp"

namespace quorvel::codegen {

// FNV-1a, then a multiply to spread the short names' bits; the high half
// picks the slot and the low half is kept in it to skip most name compares.
std::uint64_t LabelTable::hash(std::string_view name) {
  std::uint64_t h = 0xcbf29ce484222325u;
  for (char c : name) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
  return (h ^ (h >> 29)) * 0xbf58476d1ce4e5b9u;
}

// The slot holding `name`, or the empty slot where it would go. The table is
// never more than half full, so an empty slot always ends the search.
std::size_t LabelTable::probe(std::string_view name, std::uint64_t h) const {
  const std::size_t mask = slots_.size() - 1;
  const auto check = static_cast<std::uint32_t>(h);
  for (std::size_t i = static_cast<std::size_t>(h >> 32) & mask;; i = (i + 1) & mask) {
    const Slot slot = slots_[i];
    if (slot.entry == 0 || (slot.hash == check && entries_[slot.entry - 1].name == name)) return i;
  }
}

LabelEntry& LabelTable::entry(std::string_view name, Assembler& assembler) {
  if (2 * (entries_.size() + 1) > slots_.size()) grow();
  const std::uint64_t h = hash(name);
  Slot& slot = slots_[probe(name, h)];
  if (slot.entry == 0) {
    entries_.push_back({.name = name, .label = assembler.new_dynamic_label()});
    slot = {static_cast<std::uint32_t>(h), static_cast<std::uint32_t>(entries_.size())};
  }
  return entries_[slot.entry - 1];
}

void LabelTable::grow() {
  slots_.assign(slots_.empty() ? 16 : 2 * slots_.size(), Slot{});
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t e = 0; e < entries_.size(); ++e) {
    const std::uint64_t h = hash(entries_[e].name);
    std::size_t i = static_cast<std::size_t>(h >> 32) & mask;
    while (slots_[i].entry != 0) i = (i + 1) & mask;
    slots_[i] = {static_cast<std::uint32_t>(h), static_cast<std::uint32_t>(e + 1)};
  }
}

}  // namespace quorvel::codegen
