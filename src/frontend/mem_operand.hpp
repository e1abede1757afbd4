#pragma once
#include <cstdint>
#include <string_view>

#include "common/result.hpp"

namespace quorvel::frontend {

enum class MemKind : std::uint8_t {
  Base,                // [reg], (reg), [rip]
  Absolute,            // [number]
  BaseDisp,            // [reg+n], [reg-n], n(reg)
  BaseIndex,           // [reg+reg], (reg,reg)
  BaseIndexScale,      // [reg+reg*s], (reg,reg,s)
  BaseIndexScaleDisp,  // [reg+reg*s+n], n(reg,reg,s), n(reg,reg)
  RipRelative,         // [rip+n]
};

// A parsed memory operand. Register texts are views into the statement text
// (after prefix stripping, case as written), or the literal "rip".
struct MemOperand {
  MemKind kind = MemKind::Base;
  std::uint8_t scale = 0;   // BaseIndexScale, BaseIndexScaleDisp
  std::string_view base;
  std::string_view index;
  std::uint64_t addr = 0;   // Absolute
  std::int64_t disp = 0;    // BaseDisp, BaseIndexScaleDisp (two's complement), RipRelative (low 32 bits, signed)
};

}  // namespace quorvel::frontend
