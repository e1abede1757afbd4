#pragma once
// Text to machine code: the whole generated function for a program text, in
// one pass over the statements.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "frontend/parser.hpp"
#include "registers/register_file.hpp"

namespace quorvel::codegen {

// Offsets of the fixed frame around the program body.
inline constexpr std::size_t kPrologueSize = 13;
inline constexpr std::size_t kRegisterLoadsOffset = kPrologueSize;
inline constexpr std::size_t kLoadedRegisterCount = 13;
inline constexpr std::size_t kBodyOffset = 143;  // prologue and thirteen 10-byte register loads
inline constexpr std::size_t kEpilogueSize = 14;
inline constexpr std::size_t kFrameSize = kBodyOffset + kEpilogueSize;

// The values the frame loads, in load order.
using LoadedValues = std::array<std::uint64_t, kLoadedRegisterCount>;
LoadedValues loaded_values(const registers::RegisterFile& registers);

// What running the code can lead to, as far as the run guard is concerned.
// Code with none of these needs no guard at all.
struct Hazards {
  bool divides = false;         // a div: the divide error
  bool grows_stack = false;     // push or call: a fault on the stack's guard page
  bool corrupts_frame = false;  // a write to rbp, or pops past the saved registers: the epilogue may return anywhere
  bool loops = false;           // a jump or call back to a label already placed, or a corrupted frame
};

// Where a statement is in the program text, for whoever shows it: 16 bytes
// a statement. `text` is the statement as written, comment included; its
// code is the part before the comment.
struct StatementText {
  std::uint32_t line = 0;  // the physical line, from 1
  std::uint32_t begin = 0;
  std::uint32_t length = 0;
  std::uint32_t code_length = 0;
};

struct GeneratedCode {
  // The whole function. The register loads hold zeros until
  // write_register_loads() fills them in: the rest does not depend on the
  // register values.
  std::vector<std::uint8_t> bytes;
  // Where the bytes of statement n start, at index n - 1 (labels, directives
  // and ignored statements start where the next code will). Recorded only
  // when asked for: four bytes a statement that running code never needs.
  std::vector<std::uint32_t> statement_offsets;
  // Where the statements are in the text, recorded with their offsets.
  std::vector<StatementText> statements;
  Hazards hazards;
};

// Parses and encodes `text`. The first parse failure wins over any encoding
// failure; among encoding failures (undefined labels included) the one of
// the earliest statement wins; a label defined twice is reported only when
// nothing else failed. Every failure names its statement. Recording
// statements needs a text shorter than 4 GiB.
enum class StatementOffsets : bool { Skip, Record };
Result<GeneratedCode> generate_code(std::string_view text, StatementOffsets offsets = StatementOffsets::Skip);

// Writes the thirteen `mov r64, imm64` immediates at `function` + 13.
void write_register_loads(std::uint8_t* function, const LoadedValues& values);

// The statement whose bytes contain `offset`, or 0 for the frame.
std::uint32_t statement_at(const std::vector<std::uint32_t>& statement_offsets, std::size_t code_length,
                           std::size_t offset);

}  // namespace quorvel::codegen
