#pragma once
// The code an engine keeps: the function of its last successful generation,
// in code pages it reuses, with what is needed to skip work next time.
//
// Program text only grows between clears, so a text version and the loaded
// register values say everything about the kept function: an unchanged text
// needs only the thirteen register immediates rewritten, and unchanged
// values need nothing at all.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "codegen/program.hpp"
#include "common/result.hpp"
#include "platform/code_pages.hpp"
#include "registers/register_file.hpp"

namespace quorvel::codegen {

class KeptCode {
 public:
  static constexpr std::size_t kInitialSize = 4096;

  explicit KeptCode(platform::CodeMemoryScheme scheme = platform::CodeMemoryScheme::Automatic) : scheme_(scheme) {}

  // Makes the kept function the one for `text` with `registers`. `version`
  // changes whenever the text does. When the text fails to generate, the
  // kept function, if any, stays as it was; when the pages cannot be written
  // (a panic), no function is kept.
  Status update(std::string_view text, std::uint64_t version, const registers::RegisterFile& registers);

  // Forgets the function and keeps the pages for the next one.
  void clear();

  bool present() const { return length_ != 0; }
  // In a child process: the pages were not inherited, and the next update()
  // builds them again.
  bool lost_in_fork() const { return pages_.lost_in_fork(); }
  const std::uint8_t* entry() const { return pages_.executable(); }
  std::size_t length() const { return length_; }
  std::size_t capacity() const { return pages_.size(); }
  const Hazards& hazards() const { return hazards_; }

  // The statement whose bytes contain `offset`, or 0; `text` as for
  // install(). Found by generating the text again: only a fault asks.
  std::uint32_t statement_at(std::size_t offset, std::string_view text) const;

  // Writes the kept function to `path`; `text` is the engine's text, from
  // which a child process rebuilds code it did not inherit.
  Status install(std::string_view path, std::string_view text);

 private:
  Status restore_after_fork(std::string_view text);
  Status commit(const GeneratedCode& code, const LoadedValues& values);
  Status rewrite_register_loads(const LoadedValues& values);

  platform::CodeMemoryScheme scheme_;
  platform::CodePages pages_;
  std::size_t length_ = 0;
  std::uint64_t text_version_ = 0;
  std::size_t text_length_ = 0;
  LoadedValues loaded_{};
  Hazards hazards_;
};

// Creates or truncates `path` and writes `code` to it.
Status write_code_file(std::span<const std::uint8_t> code, std::string_view path);

}  // namespace quorvel::codegen
