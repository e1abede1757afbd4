// Register lookups run on every get()/is_valid_register() call and must not
// touch the heap for ordinary names; counted with a replaced operator new.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "registers/register_file.hpp"

namespace {
std::atomic<long> allocations{0};
}

// Not inlined: g++ would otherwise pair the inlined free() with the
// operator new call and warn about a mismatch that is not there.
[[gnu::noinline]] void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace quorvel::registers {
namespace {

TEST(RegisterLookup, ShortNamesDoNotAllocate) {
  RegisterFile file;
  ASSERT_TRUE(file.mov("RAX", 5).ok());
  const char* names[] = {"rax", "XMM15", "x30", "sp_el3", "w+007", "r15", "notaregister123"};
  long before = allocations.load();
  std::uint64_t sum = 0;
  bool any = false;
  for (const char* name : names) {
    sum += file.get(name);
    any |= is_register_name(name);
    ASSERT_TRUE(file.mov("rbx", 1).ok());
  }
  EXPECT_EQ(allocations.load(), before);
  EXPECT_EQ(sum, 5u);
  EXPECT_TRUE(any);
}

TEST(RegisterLookup, LongNamesStillWork) {
  RegisterFile file;
  std::string name = "x" + std::string(40, '0') + "29";
  ASSERT_TRUE(file.mov(name, 9).ok());
  EXPECT_EQ(file.get("fp"), 9u);
  EXPECT_TRUE(is_register_name(name));
  EXPECT_FALSE(is_register_name(std::string(40, 'r')));
}

}  // namespace
}  // namespace quorvel::registers
