#pragma once
// The state of one Quorvel object, as plain C++. The Python object in
// module.cpp owns exactly one Engine and adds the borrow counter and the
// owner thread.

#include <cstdint>
#include <optional>

#include "codegen/kept_code.hpp"
#include "frontend/source_store.hpp"
#include "memory/flat_memory.hpp"
#include "registers/register_file.hpp"
#include "runtime/code_stack.hpp"

namespace quorvel {

enum class Arch : std::uint8_t { Auto = 0, X86_64 = 1, AArch64 = 2 };

struct Engine {
  frontend::SourceStore source;
  memory::FlatMemory memory;
  memory::BlockAllocator blocks;
  registers::RegisterFile registers;
  Arch arch = Arch::Auto;
  codegen::KeptCode code;
  std::optional<runtime::CodeStack> code_stack;  // obtained at the first execute()
};

}  // namespace quorvel
