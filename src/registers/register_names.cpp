#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

#include "registers/number_suffix.hpp"
#include "registers/register_file.hpp"

namespace quorvel::registers {
namespace {

// Every fixed register name of both architectures, sorted for binary search.
// The ARM64 numbered names (x0..x30, v0..v31, ...) follow a rule instead.
constexpr std::string_view kUnsortedNames[] = {
      // x86-64
      "r8", "r9", "ax", "bx", "cx", "dx", "si", "di", "sp", "bp", "al", "ah", "bl", "bh",
      "cl", "ch", "dl", "dh", "ip", "cs", "ds", "es", "fs", "gs", "ss", "tr",
      "rax", "rbx", "rcx", "rdx", "rsi", "rdi", "rsp", "rbp", "r10", "r11", "r12", "r13",
      "r14", "r15", "eax", "ebx", "ecx", "edx", "esi", "edi", "esp", "ebp", "r8d", "r9d",
      "r8w", "r9w", "sil", "dil", "bpl", "spl", "r8b", "r9b",
      "st0", "st1", "st2", "st3", "st4", "st5", "st6", "st7",
      "mm0", "mm1", "mm2", "mm3", "mm4", "mm5", "mm6", "mm7", "rip", "eip",
      "cr0", "cr1", "cr2", "cr3", "cr4",
      "dr0", "dr1", "dr2", "dr3", "dr4", "dr5", "dr6", "dr7",
      "r10d", "r11d", "r12d", "r13d", "r14d", "r15d",
      "r10w", "r11w", "r12w", "r13w", "r14w", "r15w",
      "r10b", "r11b", "r12b", "r13b", "r14b", "r15b",
      "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9",
      "ymm0", "ymm1", "ymm2", "ymm3", "ymm4", "ymm5", "ymm6", "ymm7", "ymm8", "ymm9",
      "zmm0", "zmm1", "zmm2", "zmm3", "zmm4", "zmm5", "zmm6", "zmm7", "zmm8", "zmm9",
      "fpr0", "fpr1", "fpr2", "fpr3", "fpr4", "fpr5", "fpr6", "fpr7", "gdtr", "idtr", "ldtr",
      "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15",
      "ymm10", "ymm11", "ymm12", "ymm13", "ymm14", "ymm15",
      "zmm10", "zmm11", "zmm12", "zmm13", "zmm14", "zmm15", "flags", "rflags", "eflags",
      // ARM64 specials ("sp" is already listed above)
      "pc", "lr", "fp", "wsp", "xzr", "wzr", "cpsr", "apsr", "pstate",
      "sp_el0", "sp_el1", "sp_el2", "sp_el3", "elr_el1", "elr_el2", "elr_el3",
      "spsr_el1", "spsr_el2", "spsr_el3"};

template <std::size_t N>
constexpr std::array<std::string_view, N> sorted(const std::string_view (&names)[N]) {
  std::array<std::string_view, N> result{};
  std::copy(std::begin(names), std::end(names), result.begin());
  std::sort(result.begin(), result.end());
  return result;
}

constexpr auto kFixedNames = sorted(kUnsortedNames);

static_assert(std::adjacent_find(kFixedNames.begin(), kFixedNames.end()) == kFixedNames.end(),
              "register names are listed once");

// ARM64 numbered names: a class letter and an index up to 31 (30 for w/x).
bool is_arm_numbered_name(std::string_view lowered) {
  std::uint32_t limit = 0;
  switch (lowered[0]) {
    case 'b': case 'd': case 'h': case 'q': case 's': case 'v': limit = 31; break;
    case 'w': case 'x': limit = 30; break;
    default: return false;
  }
  auto number = parse_number_suffix<std::uint32_t>(lowered.substr(1));
  return number && *number <= limit;
}

}  // namespace

bool is_register_name(std::string_view name) {
  LoweredName lowered(name);
  std::string_view text = lowered.view();
  if (text.size() < 2 || !lowered.is_ascii()) return false;
  const char first = text[0];
  if (first < 'a' || first > 'z') return false;
  if (std::binary_search(kFixedNames.begin(), kFixedNames.end(), text)) return true;
  return is_arm_numbered_name(text);
}

}  // namespace quorvel::registers
