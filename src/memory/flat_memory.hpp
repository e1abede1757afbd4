#pragma once
// The engine's 10 MiB byte memory and its first-fit allocator. Addresses are
// byte offsets into the memory; bookkeeping lives outside the memory.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/result.hpp"
#include "platform/mapping.hpp"

namespace quorvel::memory {

inline constexpr std::uint64_t kMemorySize = 10485760;

class FlatMemory {
 public:
  // Maps the memory zero-filled without touching it. Returns 0 or errno.
  int init();

  std::uint8_t* data() { return mapping_.data(); }
  const std::uint8_t* data() const { return mapping_.data(); }

  // Zeroes [offset, min(offset + size, kMemorySize)); an offset at or past
  // the end zeroes nothing. Large ranges give their pages back.
  void zero(std::uint64_t offset, std::uint64_t size);

  // Bytes that may fail to arrive whole (a file read) are gathered in a
  // staging area first, laid out like the memory: staging()[k] stands for
  // data()[k]. Maps it on first use; returns 0 or errno.
  int prepare_staging();
  std::uint8_t* staging() { return staging_.data(); }

  // Makes staged [offset, offset + size) the memory's bytes; the range must
  // lie inside the memory. Large runs of whole pages are exchanged with the
  // staging area instead of copied, so a big load costs a single copy.
  void commit_staged(std::uint64_t offset, std::uint64_t size);

 private:
  bool exchange_staged_pages(std::size_t offset, std::size_t size);

  platform::Mapping mapping_;
  platform::Mapping staging_;
  // Parks the memory's old pages during an exchange; holds none in between.
  platform::Mapping spare_;
};

struct Block {
  std::uint64_t start = 0;
  std::uint64_t size = 0;
  bool used = false;
};

struct MemoryStats {
  std::uint64_t used = 0;
  std::uint64_t free = 0;
  std::uint64_t blocks = 0;
};

class BlockAllocator {
 public:
  BlockAllocator() { reset(); }

  // First fit; zero-fills the range and returns its start. When no free
  // record can hold `size` (also a request of 0 with no free record left),
  // fails with "Out of memory: cannot allocate {size} bytes" and changes
  // nothing.
  Result<std::uint64_t> alloc(std::uint64_t size, FlatMemory& memory);
  // False for an address that starts no used block.
  bool free(std::uint64_t address);
  MemoryStats stats() const;
  void reset();
  const std::vector<Block>& blocks() const { return blocks_; }

 private:
  std::vector<Block> blocks_;
  std::uint64_t total_ = kMemorySize;
  // Running sum of used sizes, so stats() needs no walk.
  std::uint64_t used_ = 0;
  // Every record before this index is used; first fit starts its walk here.
  std::size_t first_free_ = 0;
};

// Both given: zero [address, min(address + size, end)), allocator untouched.
// Otherwise: zero everything and reset the allocator.
void clear_memory(FlatMemory& memory, BlockAllocator& allocator,
                  std::optional<std::uint64_t> address, std::optional<std::uint64_t> size);

}  // namespace quorvel::memory
