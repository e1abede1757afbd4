#include "runtime/code_stack.hpp"

#include <sys/resource.h>

#include "platform/os_error.hpp"

namespace quorvel::runtime {

std::size_t thread_stack_size() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  return static_cast<std::size_t>(limit.rlim_cur);
}

Result<CodeStack> CodeStack::create() {
  const std::size_t page = platform::page_size();
  const std::size_t size = code_stack_size();
  platform::Mapping mapping;
  int error = platform::Mapping::reserve(size + 2 * page, mapping);
  if (error == 0) error = mapping.protect_range(page, size, platform::Protection::ReadWrite);
  if (error != 0) return value_error("Execution stack creation failed: " + platform::os_error_description(error));
  return CodeStack(std::move(mapping), size);
}

void* CodeStack::top() const { return mapping_.data() + platform::page_size() + size_; }

}  // namespace quorvel::runtime
