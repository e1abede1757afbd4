#include "codegen/generate.hpp"

#include <utility>

#include "codegen/assembler.hpp"
#include "codegen/program.hpp"
#include "frontend/parser.hpp"

namespace quorvel::codegen {

Result<ExecutableBuffer> generate(std::string_view source, const registers::RegisterFile& registers,
                                  platform::Mapping* spare) {
  Result<Assembler> assembler = Assembler::create(spare);
  if (!assembler) return std::move(assembler).error();
  auto program = frontend::parse_program(source);
  if (!program) return std::move(program).error();
  return assemble_program(std::move(assembler).value(), program.value(), registers);
}

}  // namespace quorvel::codegen
