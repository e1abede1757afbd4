#include "memory/flat_memory.hpp"

#include <algorithm>
#include <cstring>
#include <string>

namespace quorvel::memory {
namespace {

// Below this, memset beats madvise: dropped pages fault back in on the next
// touch, and small ranges are usually written again soon after they are zeroed.
constexpr std::uint64_t kDiscardThreshold = 256 * 1024;

// Below this, copying is cheaper than three page-table moves.
constexpr std::size_t kExchangeThreshold = 256 * 1024;

}  // namespace

int FlatMemory::init() {
  return platform::Mapping::create(kMemorySize, platform::Protection::ReadWrite, mapping_);
}

void FlatMemory::zero(std::uint64_t offset, std::uint64_t size) {
  if (offset >= kMemorySize) return;
  size = std::min(size, kMemorySize - offset);
  if (size >= kDiscardThreshold) {
    mapping_.discard(offset, size);
  } else {
    std::memset(mapping_.data() + offset, 0, size);
  }
}

int FlatMemory::prepare_staging() {
  if (staging_) return 0;
  return platform::Mapping::create(kMemorySize, platform::Protection::ReadWrite, staging_);
}

void FlatMemory::commit_staged(std::uint64_t offset, std::uint64_t size) {
  const std::size_t page = platform::page_size();
  const std::size_t first = (offset + page - 1) / page * page;
  const std::size_t last = (offset + size) / page * page;
  if (last > first && last - first >= kExchangeThreshold && exchange_staged_pages(first, last - first)) {
    std::memcpy(mapping_.data() + offset, staging_.data() + offset, first - offset);
    std::memcpy(mapping_.data() + last, staging_.data() + last, offset + size - last);
    return;
  }
  std::memcpy(mapping_.data() + offset, staging_.data() + offset, size);
}

// memory -> spare, staging -> memory, spare -> staging: both areas keep their
// pages, so the next staged read finds them already faulted in. A kernel
// without MREMAP_DONTUNMAP, or one refusing a range that earlier partial
// exchanges split into several mappings, makes a step fail; the caller then
// copies the whole range, which is correct after any failed step.
bool FlatMemory::exchange_staged_pages(std::size_t offset, std::size_t size) {
  if (!spare_ && platform::Mapping::create(kMemorySize, platform::Protection::ReadWrite, spare_) != 0) {
    return false;
  }
  std::uint8_t* memory = mapping_.data() + offset;
  std::uint8_t* staged = staging_.data() + offset;
  std::uint8_t* parked = spare_.data() + offset;
  if (!platform::move_pages(memory, parked, size)) return false;
  if (!platform::move_pages(staged, memory, size)) {
    spare_.discard(offset, size);
    return false;
  }
  if (!platform::move_pages(parked, staged, size)) spare_.discard(offset, size);
  return true;
}

Result<std::uint64_t> BlockAllocator::alloc(std::uint64_t size, FlatMemory& memory) {
  std::size_t index = first_free_;
  while (index < blocks_.size() && (blocks_[index].used || blocks_[index].size < size)) ++index;
  if (index == blocks_.size()) {
    return value_error("Out of memory: cannot allocate " + std::to_string(size) + " bytes");
  }

  const Block chosen = blocks_[index];
  // The remainder goes in first: if the list cannot grow, nothing has changed.
  if (chosen.size > size) {
    blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(index) + 1,
                   Block{chosen.start + size, chosen.size - size, false});
  }
  blocks_[index].size = size;
  blocks_[index].used = true;
  used_ += size;
  if (index == first_free_) {
    ++first_free_;
    while (first_free_ < blocks_.size() && blocks_[first_free_].used) ++first_free_;
  }
  memory.zero(chosen.start, size);
  return chosen.start;
}

bool BlockAllocator::free(std::uint64_t address) {
  // Records are sorted by start; zero-size ones can share a start with their
  // neighbour, so the first used record among the equal starts is the one.
  auto it = std::lower_bound(blocks_.begin(), blocks_.end(), address,
                             [](const Block& block, std::uint64_t value) { return block.start < value; });
  while (it != blocks_.end() && it->start == address && !it->used) ++it;
  if (it == blocks_.end() || it->start != address) return false;

  std::size_t index = static_cast<std::size_t>(it - blocks_.begin());
  blocks_[index].used = false;
  used_ -= blocks_[index].size;
  if (index + 1 < blocks_.size() && !blocks_[index + 1].used) {
    blocks_[index].size += blocks_[index + 1].size;
    blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(index) + 1);
  }
  if (index > 0 && !blocks_[index - 1].used) {
    blocks_[index - 1].size += blocks_[index].size;
    blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(index));
    --index;
  }
  first_free_ = std::min(first_free_, index);
  return true;
}

MemoryStats BlockAllocator::stats() const { return {used_, total_ - used_, blocks_.size()}; }

void BlockAllocator::reset() {
  blocks_.assign(1, Block{0, kMemorySize, false});
  total_ = kMemorySize;
  used_ = 0;
  first_free_ = 0;
}

void clear_memory(FlatMemory& memory, BlockAllocator& allocator, std::optional<std::uint64_t> address,
                  std::optional<std::uint64_t> size) {
  if (address && size) {
    memory.zero(*address, *size);
    return;
  }
  memory.zero(0, kMemorySize);
  allocator.reset();
}

}  // namespace quorvel::memory
