#include "runtime/code_stack.hpp"

#include "platform/mapping.hpp"

namespace quorvel::runtime {
namespace {

constexpr std::size_t kDefaultSize = 8u << 20;
// A limit far beyond any real program's depth would only cost address space.
constexpr std::size_t kLargestSize = 1u << 30;
constexpr std::size_t kSmallestSize = 64u << 10;

}  // namespace

std::size_t code_stack_size() {
  std::size_t size = thread_stack_size();
  if (size == 0) size = kDefaultSize;
  if (size < kSmallestSize) size = kSmallestSize;
  if (size > kLargestSize) size = kLargestSize;
  const std::size_t page = platform::page_size();
  return (size + page - 1) / page * page;
}

}  // namespace quorvel::runtime
