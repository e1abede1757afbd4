#pragma once
// Memory for generated code. No page is ever writable and executable at once.
//
// Where the system allows it, the pages are mapped twice from one shared
// memory object: a read-write view that is never executable, through which
// only the owner writes, and a read-execute view that is never writable, from
// which the code runs. New code then needs no protection switch. Where the
// system refuses executable shared memory, one private mapping is switched to
// read-write for each write and back to read-execute after it.
//
// The two views are not inherited by a child process: a child must never
// write the code its parent runs. An object created before a fork reports
// `lost_in_fork()` in the child and must be replaced there.

#include <cstddef>
#include <cstdint>

namespace quorvel::platform {

enum class CodeMemoryScheme : unsigned char {
  Automatic,            // two views, else protection switching
  TwoViews,             // fail rather than fall back
  ProtectionSwitching,  // one mapping whose protection flips per write
};

class CodePages {
 public:
  CodePages() = default;
  CodePages(CodePages&& other) noexcept;
  CodePages& operator=(CodePages&& other) noexcept;
  CodePages(const CodePages&) = delete;
  CodePages& operator=(const CodePages&) = delete;
  ~CodePages();

  // Zero-filled pages, executable and not writable. Returns 0 or the
  // system's error number.
  static int create(std::size_t size, CodePages& out, CodeMemoryScheme scheme = CodeMemoryScheme::Automatic);

  // Writing happens between these two calls. With two views they cost
  // nothing; otherwise each switches the protection of the whole mapping.
  // Both return 0 or the system's error number.
  int begin_write();
  int end_write();
  // Valid between begin_write() and end_write().
  std::uint8_t* writable() const { return write_view_; }

  const std::uint8_t* executable() const { return run_view_; }
  std::size_t size() const { return size_; }
  bool two_views() const { return write_view_ != run_view_; }
  explicit operator bool() const { return run_view_ != nullptr; }

  // True in a child process for pages created before the fork: their
  // views are gone there and the object only forgets them when released.
  bool lost_in_fork() const;

 private:
  void release() noexcept;

  std::uint8_t* write_view_ = nullptr;
  std::uint8_t* run_view_ = nullptr;
  std::size_t size_ = 0;
  std::uint64_t process_generation_ = 0;
};

// The scheme new pages get under CodeMemoryScheme::Automatic: TwoViews until
// the system has refused it once, ProtectionSwitching after that.
CodeMemoryScheme automatic_code_memory_scheme();

}  // namespace quorvel::platform
