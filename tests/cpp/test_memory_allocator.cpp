#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "memory/flat_memory.hpp"

namespace quorvel::memory {
namespace {

constexpr std::uint64_t kMax = ~std::uint64_t{0};

class MemoryAllocator : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(memory.init(), 0); }

  // The records tile [0, kMemorySize) in order, and the running statistics
  // agree with a fresh count over the records.
  void expect_invariants() const {
    const auto& blocks = allocator.blocks();
    ASSERT_FALSE(blocks.empty());
    std::uint64_t next = 0;
    std::uint64_t used = 0;
    for (const Block& block : blocks) {
      ASSERT_EQ(block.start, next);
      next += block.size;
      if (block.used) used += block.size;
    }
    EXPECT_EQ(next, kMemorySize);
    MemoryStats stats = allocator.stats();
    EXPECT_EQ(stats.used, used);
    EXPECT_EQ(stats.free, kMemorySize - used);
    EXPECT_EQ(stats.blocks, blocks.size());
  }

  void expect_stats(std::uint64_t used, std::uint64_t free, std::uint64_t blocks) const {
    MemoryStats stats = allocator.stats();
    EXPECT_EQ(stats.used, used);
    EXPECT_EQ(stats.free, free);
    EXPECT_EQ(stats.blocks, blocks);
  }

  // The start of a new block of `size` bytes; the test stops if there is none.
  std::uint64_t take(std::uint64_t size) {
    Result<std::uint64_t> address = allocator.alloc(size, memory);
    EXPECT_TRUE(address.ok()) << size << ": " << address.error().message;
    return address.ok() ? address.value() : kMax;
  }

  // A request that no free record can hold fails and leaves the records as they were.
  void expect_out_of_memory(std::uint64_t size) {
    const std::vector<Block> before = allocator.blocks();
    const MemoryStats stats = allocator.stats();
    Result<std::uint64_t> address = allocator.alloc(size, memory);
    ASSERT_FALSE(address.ok()) << size << " gave " << address.value();
    EXPECT_EQ(address.error().kind, ErrorKind::Value);
    EXPECT_EQ(address.error().message, "Out of memory: cannot allocate " + std::to_string(size) + " bytes");
    expect_same_records(before);
    expect_stats(stats.used, stats.free, stats.blocks);
  }

  void expect_same_records(const std::vector<Block>& before) const {
    const std::vector<Block>& after = allocator.blocks();
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < after.size(); ++i) {
      EXPECT_EQ(after[i].start, before[i].start) << "record " << i;
      EXPECT_EQ(after[i].size, before[i].size) << "record " << i;
      EXPECT_EQ(after[i].used, before[i].used) << "record " << i;
    }
  }

  FlatMemory memory;
  BlockAllocator allocator;
};

TEST_F(MemoryAllocator, ZeroSizeRecords) {
  EXPECT_EQ(take(0), 0u);
  expect_stats(0, kMemorySize, 2);
  EXPECT_TRUE(allocator.free(0));
  expect_stats(0, kMemorySize, 1);

  // A used zero-size record shares its start with the next record; free
  // must find the used one among them.
  std::uint64_t a = take(4);
  std::uint64_t empty = take(0);
  std::uint64_t b = take(4);
  EXPECT_EQ(empty, 4u);
  EXPECT_EQ(b, 4u);
  EXPECT_TRUE(allocator.free(b));
  EXPECT_TRUE(allocator.free(empty));
  EXPECT_FALSE(allocator.free(empty));
  EXPECT_TRUE(allocator.free(a));
  expect_stats(0, kMemorySize, 1);
}

TEST_F(MemoryAllocator, FreeZeroSizeRecordIsTakenWithoutSplit) {
  std::uint64_t a = take(4);
  std::uint64_t empty = take(0);
  take(4);
  EXPECT_TRUE(allocator.free(empty));  // neighbours used: stays a free size-0 record
  expect_stats(8, kMemorySize - 8, 4);
  EXPECT_EQ(take(0), empty);
  expect_stats(8, kMemorySize - 8, 4);
  EXPECT_TRUE(allocator.free(a));
  expect_invariants();
}

TEST_F(MemoryAllocator, TheWholeMemoryInOneBlock) {
  EXPECT_EQ(take(kMemorySize), 0u);
  expect_stats(kMemorySize, 0, 1);
  expect_out_of_memory(1);
  expect_out_of_memory(0);  // no free record is left, not even an empty one
  EXPECT_TRUE(allocator.free(0));
  EXPECT_EQ(take(kMemorySize), 0u);
}

TEST_F(MemoryAllocator, OutOfMemoryChangesNothing) {
  expect_out_of_memory(kMemorySize + 1);
  expect_out_of_memory(kMax);
  expect_stats(0, kMemorySize, 1);

  // Fragmented: 4 MiB free in total, but no single record holds 3 MiB.
  constexpr std::uint64_t kMiB = 1024 * 1024;
  std::uint64_t first = take(2 * kMiB);
  take(kMiB);
  std::uint64_t third = take(2 * kMiB);
  take(kMemorySize - 5 * kMiB);
  ASSERT_TRUE(allocator.free(first));
  ASSERT_TRUE(allocator.free(third));
  expect_stats(kMemorySize - 4 * kMiB, 4 * kMiB, 4);
  expect_out_of_memory(3 * kMiB);
  EXPECT_EQ(take(2 * kMiB), first);  // the failure left first fit as it was
  EXPECT_EQ(take(2 * kMiB), third);
  expect_out_of_memory(1);
  expect_invariants();
}

TEST_F(MemoryAllocator, EveryAllocationIsZeroFilled) {
  for (std::uint64_t size : {std::uint64_t{64}, std::uint64_t{3 * 1024 * 1024 + 5}}) {
    std::uint64_t p = take(size);
    std::memset(memory.data() + p, 0x5a, size);
    ASSERT_TRUE(allocator.free(p));
    ASSERT_EQ(take(size), p);
    std::vector<std::uint8_t> zeros(size, 0);
    EXPECT_EQ(std::memcmp(memory.data() + p, zeros.data(), size), 0) << size;
    ASSERT_TRUE(allocator.free(p));
  }
}

// Randomised against a direct reading of first fit on the record list.
TEST_F(MemoryAllocator, RandomOperationsKeepFirstFitAndTiling) {
  std::mt19937_64 random(20240611);
  std::vector<std::uint64_t> live;
  for (int step = 0; step < 4000; ++step) {
    unsigned choice = static_cast<unsigned>(random() % 10);
    if (choice < 6) {
      static constexpr std::uint64_t kSizes[] = {0, 1, 7, 64, 4096, 100000, 2000000};
      std::uint64_t size = kSizes[random() % std::size(kSizes)] + random() % 3;
      std::optional<std::uint64_t> expected;
      for (const Block& block : allocator.blocks()) {
        if (!block.used && block.size >= size) {
          expected = block.start;
          break;
        }
      }
      if (expected) {
        ASSERT_EQ(take(size), *expected);
        live.push_back(*expected);
      } else {
        expect_out_of_memory(size);
      }
    } else if (choice < 9 && !live.empty()) {
      std::size_t pick = random() % live.size();
      std::uint64_t address = live[pick];
      bool expected = false;
      for (const Block& block : allocator.blocks()) expected |= block.used && block.start == address;
      ASSERT_EQ(allocator.free(address), expected);
      live.erase(live.begin() + static_cast<std::ptrdiff_t>(pick));
    } else if (choice == 9 && random() % 20 == 0) {
      clear_memory(memory, allocator, std::nullopt, std::nullopt);
      live.clear();
    } else {
      ASSERT_FALSE(allocator.free(random() % kMemorySize * 2 + 1 + kMemorySize));
    }
    expect_invariants();
    if (HasFatalFailure()) return;
  }
}

struct ZeroCase {
  std::uint64_t offset;
  std::uint64_t size;
  std::uint64_t cleared_end;  // the range actually zeroed is [offset, cleared_end)
};

constexpr ZeroCase kZeroCases[] = {
    {0, 4, 4},
    {5, 4096, 4101},
    {123, 300000, 300123},                       // large: partial pages on both ends
    {4096, 1 << 20, 4096 + (1 << 20)},           // large and page aligned
    {kMemorySize - 3, 10, kMemorySize},          // clamped at the end
    {kMemorySize - 600000, kMax, kMemorySize},   // end past 2**64 saturates
    {kMemorySize, 10, kMemorySize},              // at the end: nothing
    {kMemorySize + 5, 10, kMemorySize + 5},      // beyond the end: nothing
    {kMax, kMax, kMax},
};

TEST_F(MemoryAllocator, ZeroTouchesExactlyItsClampedRange) {
  for (const ZeroCase& c : kZeroCases) {
    std::memset(memory.data(), 0xa5, kMemorySize);
    memory.zero(c.offset, c.size);
    std::uint64_t first_zero = std::min(c.offset, kMemorySize);
    std::uint64_t end = std::min(c.cleared_end, kMemorySize);
    for (std::uint64_t i = 0; i < kMemorySize; ++i) {
      bool inside = i >= first_zero && i < end;
      if (memory.data()[i] != (inside ? 0 : 0xa5)) {
        ADD_FAILURE() << "offset " << c.offset << " size " << c.size << ": byte " << i;
        break;
      }
    }
  }
}

}  // namespace
}  // namespace quorvel::memory
