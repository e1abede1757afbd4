#include "lab/listing.hpp"

#include "codegen/program.hpp"

namespace quorvel::lab {

Result<Listing> make_listing(std::string_view text, const registers::RegisterFile& registers) {
  Result<codegen::GeneratedCode> generated = codegen::generate_code(text, codegen::StatementOffsets::Record);
  if (!generated) return std::move(generated).error();
  codegen::GeneratedCode& code = generated.value();
  codegen::write_register_loads(code.bytes.data(), codegen::loaded_values(registers));

  Listing listing;
  const auto body_end = static_cast<std::uint32_t>(code.bytes.size() - codegen::kEpilogueSize);
  const std::vector<std::uint32_t>& offsets = code.statement_offsets;
  listing.rows.reserve(offsets.size());
  for (std::uint32_t number = 1; number <= offsets.size(); ++number) {
    const codegen::StatementText& statement = code.statements[number - 1];
    const std::uint32_t offset = offsets[number - 1];
    const std::uint32_t end = number < offsets.size() ? offsets[number] : body_end;
    listing.rows.push_back({number, statement.line, text.substr(statement.begin, statement.length), offset, end - offset});
  }
  listing.code = std::move(code.bytes);
  return listing;
}

}  // namespace quorvel::lab
