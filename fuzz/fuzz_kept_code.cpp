// libFuzzer target, differential: KeptCode driven the way an engine drives
// it, against generation from scratch. Two of them run in step, one with the
// code memory an engine gets and one forced to switch page protection, the
// fallback where executable shared memory is refused. The code is never run.
//
// The input is a script and text chunks, separated by 0xFF bytes (which
// never occur in UTF-8): "script \xFF chunk \xFF chunk ...". An input
// without 0xFF is one chunk run through a fixed script that uses every
// command. Each script byte is a command (low three bits) and an argument
// (the rest):
//   0 set one register (any of the x86 slots, loaded or not) to a new value
//   1 nothing changed
//   2 append the next chunk, 2^(arg % 8) times, as a new text version;
//     with arg & 8, then pad the code to exactly the capacity it needs, or
//     one byte more (arg & 16), with "mov rax, 1" and "nop"
//   3 a failing text (the text plus a failing statement, a new version),
//     then the text before it again: with its old version (arg & 16), or a
//     new one; with a register changed in between (arg & 8)
//   4 change every register
//   5 clear, then the empty text
//   6 "change" a register without changing a loaded value
//   7 append a failing statement to the text for good, and run it twice
// Each command ends in update(), and after every update():
//   - if generating the text from scratch succeeds, the update succeeds and
//     the kept bytes are the scratch bytes with the register loads written,
//     with the same hazards, and statement_at() agrees with the scratch
//     statement offsets;
//   - if it fails, the update fails with the same error, and the kept code
//     (bytes, length, hazards) is exactly what it was;
//   - the capacity is 4 KiB from the first update on, and is doubled,
//     only when the code does not fit, until it exceeds the code's length.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codegen/kept_code.hpp"
#include "codegen/program.hpp"
#include "registers/register_file.hpp"
#include "require.hpp"

namespace {

using quorvel::Status;
using quorvel::codegen::GeneratedCode;
using quorvel::codegen::Hazards;
using quorvel::codegen::KeptCode;
using quorvel::registers::RegisterFile;

enum Command : std::uint8_t {
  kSetRegister,
  kNothingChanged,
  kAppend,
  kFailThenBack,
  kChangeAll,
  kClear,
  kChangeNothingLoaded,
  kAppendFailing,
};

constexpr char kSeparator = '\xFF';
constexpr std::size_t kMaxCommands = 64;
// Every update regenerates the text from scratch to compare; beyond this the
// run gets slow without reaching new code.
constexpr std::size_t kMaxTextSize = 1 << 14;
// Padding reaches code of up to 32 KiB, three doublings past the first pages.
constexpr std::size_t kMaxPaddedTextSize = 40 << 10;

constexpr std::size_t kMovSize = 10;  // "mov rax, 1"; "nop" is one byte

// Statements that make generation fail wherever they are appended (unless a
// chunk defines the label, which the comparison handles like anything else).
constexpr std::string_view kFailingStatements[] = {
    "bogus_instruction rax",  "jmp label_defined_nowhere", "mov rsp, 1", "lea rax, [rbx]",
    "push r11",               "shl rax, x",                "mov rax",    "twice:\ntwice:",
};

// Slots the frame does not load: changing them changes no byte.
constexpr quorvel::registers::X86Slot kUnloaded[] = {
    quorvel::registers::kRsp, quorvel::registers::kRbp, quorvel::registers::kR11,
    quorvel::registers::kRip, quorvel::registers::kRflags,
};

// Without a script, every command at least once, in an order that starts
// from the chunk's text; padding, which makes long texts, is left to the
// scripted seeds.
constexpr std::uint8_t kDefaultScript[] = {
    kAppend,           kSetRegister,    kNothingChanged,          kFailThenBack | 16 << 3,
    kChangeAll,        kFailThenBack | 8 << 3, kChangeNothingLoaded, kAppend | 1 << 3,
    kAppendFailing,    kSetRegister | 2 << 3,  kClear,               kAppend,
    kNothingChanged,
};

std::uint64_t splitmix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

bool same_hazards(const Hazards& a, const Hazards& b) {
  return a.divides == b.divides && a.grows_stack == b.grows_stack && a.corrupts_frame == b.corrupts_frame &&
         a.loops == b.loops;
}

// What the kept code looked like before an update.
struct Snapshot {
  bool present;
  std::vector<std::uint8_t> bytes;
  Hazards hazards;
};

Snapshot snapshot(const KeptCode& kept) {
  Snapshot taken{kept.present(), {}, kept.hazards()};
  if (kept.present()) taken.bytes.assign(kept.entry(), kept.entry() + kept.length());
  return taken;
}

class Driver {
 public:
  explicit Driver(std::vector<std::string_view> chunks) : chunks_(std::move(chunks)) {
    for (std::uint64_t& value : registers_.x86) value = splitmix(random_);
  }

  void run(std::uint8_t byte) {
    const unsigned argument = byte >> 3;
    switch (static_cast<Command>(byte & 7)) {
      case kSetRegister:
        registers_.x86[argument % registers_.x86.size()] = splitmix(random_);
        update(text_, version_);
        return;
      case kNothingChanged: update(text_, version_); return;
      case kAppend: append(argument); return;
      case kFailThenBack: fail_then_back(argument); return;
      case kChangeAll:
        for (std::uint64_t& value : registers_.x86) value = splitmix(random_);
        update(text_, version_);
        return;
      case kClear: clear(); return;
      case kChangeNothingLoaded:
        registers_.x86[kUnloaded[argument % std::size(kUnloaded)]] = splitmix(random_);
        update(text_, version_);
        return;
      case kAppendFailing: append_failing(argument); return;
    }
  }

 private:
  void append(unsigned argument) {
    if (chunks_.empty()) return;
    const std::string_view chunk = chunks_[next_chunk_++ % chunks_.size()];
    for (unsigned repeat = 0; repeat < (1u << (argument % 8)); ++repeat) {
      if (text_.size() + chunk.size() + 1 > kMaxTextSize) break;
      text_ += chunk;
      text_ += '\n';
    }
    if ((argument & 8) != 0) pad_to_capacity_edge((argument & 16) != 0);
    version_ = ++versions_;
    update(text_, version_);
  }

  // Appends statements that make the code exactly as long as the capacity it
  // needs (or one byte longer), where the growth policy decides: the current
  // capacity, or, for code that has outgrown it, twice that or more.
  void pad_to_capacity_edge(bool one_more) {
    const auto scratch = quorvel::codegen::generate_code(text_);
    if (!scratch) return;
    const std::size_t length = scratch.value().bytes.size();
    std::size_t edge = std::max(capacity_, KeptCode::kInitialSize);
    while (edge < length) edge *= 2;
    const std::size_t padding = edge + (one_more ? 1 : 0) - length;
    constexpr std::string_view kMov = "mov rax, 1\n";
    constexpr std::string_view kNop = "nop\n";
    if (text_.size() + padding / kMovSize * kMov.size() + padding % kMovSize * kNop.size() > kMaxPaddedTextSize) {
      return;
    }
    for (std::size_t i = 0; i < padding / kMovSize; ++i) text_ += kMov;
    for (std::size_t i = 0; i < padding % kMovSize; ++i) text_ += kNop;
  }

  void fail_then_back(unsigned argument) {
    const std::string failing = text_ + std::string(kFailingStatements[argument % std::size(kFailingStatements)]) + '\n';
    update(failing, ++versions_);
    if ((argument & 8) != 0) registers_.x86[argument % registers_.x86.size()] = splitmix(random_);
    if ((argument & 16) == 0) version_ = ++versions_;
    update(text_, version_);
  }

  void append_failing(unsigned argument) {
    text_ += kFailingStatements[argument % std::size(kFailingStatements)];
    text_ += '\n';
    version_ = ++versions_;
    update(text_, version_);
    // A failure is never kept as if it were code: the same error again.
    registers_.x86[argument % registers_.x86.size()] = splitmix(random_);
    update(text_, version_);
  }

  void clear() {
    for (KeptCode& kept : kept_) {
      const std::size_t capacity = kept.capacity();
      kept.clear();
      REQUIRE(!kept.present() && kept.capacity() == capacity);
    }
    text_.clear();
    version_ = ++versions_;
    update(text_, version_);
  }

  void update(std::string_view text, std::uint64_t version) {
    const quorvel::Result<GeneratedCode>& scratch = generated_from_scratch(text);
    if (capacity_ == 0) capacity_ = KeptCode::kInitialSize;
    if (scratch && scratch.value().bytes.size() > capacity_) {
      while (capacity_ <= scratch.value().bytes.size()) capacity_ *= 2;
    }
    const bool new_text = scratch && text != kept_text_;
    if (new_text) {
      kept_text_.assign(text);
      kept_offsets_ = scratch.value().statement_offsets;
    }
    for (KeptCode& kept : kept_) {
      const Snapshot before = snapshot(kept);
      const Status updated = kept.update(text, version, registers_);
      if (scratch) {
        check_success(kept, updated, scratch.value());
      } else {
        check_failure(kept, updated, scratch.error(), before);
      }
    }
    // Where the pages are does not matter to statement_at(), and each lookup
    // costs a generation: the engine's kind is asked only.
    if (kept_[0].present() && (new_text || !scratch)) check_statement_at(kept_[0], text);
  }

  void check_success(const KeptCode& kept, const Status& updated, const GeneratedCode& code) {
    REQUIRE(updated.ok());
    std::vector<std::uint8_t> expected = code.bytes;
    quorvel::codegen::write_register_loads(expected.data(), quorvel::codegen::loaded_values(registers_));
    REQUIRE(kept.present() && kept.length() == expected.size());
    REQUIRE(std::memcmp(kept.entry(), expected.data(), expected.size()) == 0);
    REQUIRE(same_hazards(kept.hazards(), code.hazards));
    REQUIRE(kept.capacity() == capacity_);
  }

  void check_failure(const KeptCode& kept, const Status& updated, const quorvel::Error& error, const Snapshot& before) {
    REQUIRE(!updated.ok());
    REQUIRE(updated.error().kind == error.kind && updated.error().message == error.message &&
            updated.error().statement == error.statement);
    REQUIRE(kept.present() == before.present && same_hazards(kept.hazards(), before.hazards));
    REQUIRE(kept.length() == before.bytes.size());
    REQUIRE(before.bytes.empty() || std::memcmp(kept.entry(), before.bytes.data(), before.bytes.size()) == 0);
    REQUIRE(kept.capacity() == capacity_);
  }

  // Generation is a function of the text alone, so the last two texts'
  // results are remembered: most updates change registers only.
  const quorvel::Result<GeneratedCode>& generated_from_scratch(std::string_view text) {
    for (const Generation& generation : generations_) {
      if (generation.result && generation.text == text) return *generation.result;
    }
    std::swap(generations_[0], generations_[1]);
    generations_[0].text.assign(text);
    generations_[0].result.emplace(
        quorvel::codegen::generate_code(text, quorvel::codegen::StatementOffsets::Record));
    return *generations_[0].result;
  }

  // The engine asks with its whole text, which may have grown past the kept
  // text. Each lookup generates the text again, so one offset per check: in
  // the frame, at a statement's start, or at the last byte of the body.
  void check_statement_at(const KeptCode& kept, std::string_view engine_text) {
    if (!engine_text.starts_with(kept_text_)) return;
    const std::size_t length = kept.length();
    const std::size_t body_end = length - quorvel::codegen::kEpilogueSize;
    const std::uint64_t choice = splitmix(random_);
    std::size_t offset = choice % quorvel::codegen::kBodyOffset;
    if (choice % 3 == 1) offset = body_end - 1;
    if (choice % 3 == 2 && !kept_offsets_.empty()) offset = kept_offsets_[(choice >> 8) % kept_offsets_.size()];
    REQUIRE(kept.statement_at(offset, engine_text) == quorvel::codegen::statement_at(kept_offsets_, length, offset));
  }

  struct Generation {
    std::string text;
    std::optional<quorvel::Result<GeneratedCode>> result;
  };

  std::vector<std::string_view> chunks_;
  std::size_t next_chunk_ = 0;
  // What an engine gets, and the fallback where executable shared memory is refused.
  std::array<KeptCode, 2> kept_{KeptCode(quorvel::platform::CodeMemoryScheme::Automatic),
                                KeptCode(quorvel::platform::CodeMemoryScheme::ProtectionSwitching)};
  RegisterFile registers_;
  std::string text_;
  std::uint64_t version_ = 0;
  std::uint64_t versions_ = 0;
  std::string kept_text_;
  std::vector<std::uint32_t> kept_offsets_;
  std::size_t capacity_ = 0;
  std::uint64_t random_ = 0;
  std::array<Generation, 2> generations_;
};

std::vector<std::string_view> split(std::string_view text) {
  std::vector<std::string_view> pieces;
  for (std::size_t at; (at = text.find(kSeparator)) != std::string_view::npos; text.remove_prefix(at + 1)) {
    pieces.push_back(text.substr(0, at));
  }
  pieces.push_back(text);
  return pieces;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> pieces = split(input);
  std::string_view script(reinterpret_cast<const char*>(kDefaultScript), sizeof kDefaultScript);
  if (pieces.size() > 1) {
    script = pieces.front().substr(0, kMaxCommands);
    pieces.erase(pieces.begin());
  }
  Driver driver(std::move(pieces));
  for (char command : script) driver.run(static_cast<std::uint8_t>(command));
  return 0;
}
