#include "runtime/stepping.hpp"

namespace quorvel::runtime::stepping {

namespace {
constexpr std::uint8_t kInt3 = 0xCC;
}  // namespace

Stop planted_trap_at(const Resumption& run, std::size_t offset) {
  if (offset >= run.length || run.code[offset] != kInt3) return Stop::None;
  if (offset == run.exit_offset) return Stop::AtExit;
  return (run.marks[offset] & kStopBefore) ? Stop::Breakpoint : Stop::None;
}

std::uint64_t stack_top_at(const Resumption& run, std::uint64_t rsp) {
  return rsp < run.program_rsp ? *reinterpret_cast<const std::uint64_t*>(rsp) : 0;
}

}  // namespace quorvel::runtime::stepping
