#include "codegen/kept_code.hpp"

#include <cstring>
#include <string>
#include <utility>

#include "platform/file.hpp"
#include "platform/os_error.hpp"

namespace quorvel::codegen {
namespace {

Error swap_failure(int error) {
  return panic_error("Could not swap buffer protection modes: " + platform::os_error_description(error));
}

// Writing brackets every change of the pages: with protection switching the
// pages are writable (and not executable) only in between.
template <class Write>
Status write_pages(platform::CodePages& pages, Write&& write) {
  if (int error = pages.begin_write(); error != 0) return swap_failure(error);
  write(pages.writable());
  if (int error = pages.end_write(); error != 0) return swap_failure(error);
  return success();
}

}  // namespace

Status KeptCode::update(std::string_view text, std::uint64_t version, const registers::RegisterFile& registers) {
  if (Status restored = restore_after_fork(text); !restored) return restored;
  const LoadedValues values = loaded_values(registers);
  if (present() && version == text_version_) {
    if (values == loaded_) return success();
    return rewrite_register_loads(values);
  }
  if (!pages_) {
    if (int error = platform::CodePages::create(kInitialSize, pages_, scheme_); error != 0) {
      return value_error("Assembler creation failed: " + platform::os_error_description(error));
    }
  }
  Result<GeneratedCode> code = generate_code(text);
  if (!code) return std::move(code).error();
  if (Status committed = commit(code.value(), values); !committed) return committed;
  text_version_ = version;
  text_length_ = text.size();
  hazards_ = code.value().hazards;
  return success();
}

// The size grows by doubling while it is at most what is needed, so a need
// of exactly 8192 bytes gets 16384. Larger pages are written before they
// replace the old ones; pages written in place hold no known function if
// the write fails.
Status KeptCode::commit(const GeneratedCode& code, const LoadedValues& values) {
  const std::size_t needed = code.bytes.size();
  const auto fill = [&](std::uint8_t* function) {
    std::memcpy(function, code.bytes.data(), needed);
    write_register_loads(function, values);
  };
  if (needed > pages_.size()) {
    std::size_t size = pages_ ? pages_.size() : kInitialSize;
    while (size <= needed) size *= 2;
    platform::CodePages larger;
    if (int error = platform::CodePages::create(size, larger, scheme_); error != 0) {
      return panic_error("Could not allocate a larger buffer: " + platform::os_error_description(error));
    }
    if (Status written = write_pages(larger, fill); !written) return written;
    pages_ = std::move(larger);
  } else if (Status written = write_pages(pages_, fill); !written) {
    length_ = 0;
    return written;
  }
  length_ = needed;
  loaded_ = values;
  return success();
}

Status KeptCode::rewrite_register_loads(const LoadedValues& values) {
  Status written = write_pages(pages_, [&](std::uint8_t* function) { write_register_loads(function, values); });
  if (!written) {
    length_ = 0;
    return written;
  }
  loaded_ = values;
  return success();
}

// A child process does not inherit the pages (the parent may still be
// running from them); it builds the same function again from the text and
// the register values it was made with.
Status KeptCode::restore_after_fork(std::string_view text) {
  if (!pages_.lost_in_fork()) return success();
  pages_ = platform::CodePages();
  if (!present()) return success();
  length_ = 0;
  Result<GeneratedCode> code = generate_code(text.substr(0, text_length_));
  if (!code) return std::move(code).error();
  if (int error = platform::CodePages::create(kInitialSize, pages_, scheme_); error != 0) {
    return value_error("Assembler creation failed: " + platform::os_error_description(error));
  }
  return commit(code.value(), loaded_);
}

void KeptCode::clear() { length_ = 0; }

std::uint32_t KeptCode::statement_at(std::size_t offset, std::string_view text) const {
  Result<GeneratedCode> code = generate_code(text.substr(0, text_length_), StatementOffsets::Record);
  if (!code) return 0;
  return codegen::statement_at(code.value().statement_offsets, length_, offset);
}

Status KeptCode::install(std::string_view path, std::string_view text) {
  if (Status restored = restore_after_fork(text); !restored) return restored;
  return write_code_file({pages_.executable(), length_}, path);
}

Status write_code_file(std::span<const std::uint8_t> code, std::string_view path) {
  platform::UniqueFd file;
  if (int error = platform::create_for_writing(path, file); error != 0) {
    return value_error("Failed to create file: " + platform::file_error_text(error));
  }
  if (int error = platform::write_all(file.get(), code.data(), code.size()); error != 0) {
    return value_error("Failed to write file: " + platform::file_error_text(error));
  }
  return success();
}

}  // namespace quorvel::codegen
