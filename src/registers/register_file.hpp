#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.hpp"

namespace quorvel::registers {

// Storage order of the x86-64 block.
enum X86Slot : unsigned {
  kRax, kRbx, kRcx, kRdx, kRsi, kRdi, kRsp, kRbp,
  kR8, kR9, kR10, kR11, kR12, kR13, kR14, kR15, kRip, kRflags,
  kX86SlotCount
};

struct RegisterFile {
  std::array<std::uint64_t, kX86SlotCount> x86{};
  std::array<std::uint16_t, 6> segments{};  // cs, ds, es, fs, gs, ss: never written
  std::array<std::uint64_t, 31> x{};        // x0..x30
  std::uint64_t sp = 0, pc = 0, lr = 0, fp = 0;
  std::uint64_t pstate = 0;  // never written
  std::uint32_t cpsr = 0;    // never written

  // Case-insensitive; unknown names and names without a slot read as 0.
  std::uint64_t get(std::string_view name) const;

  // Case-insensitive; messages quote `name` as given. A failure changes nothing.
  Status mov(std::string_view name, std::uint64_t value);
};

// Whether `name` (any case) is a register name the assembler knows, for
// either architecture.
bool is_register_name(std::string_view name);

std::string dump_x86(const RegisterFile& registers);
std::string dump_arm(const RegisterFile& registers);

}  // namespace quorvel::registers
