#pragma once
// Anonymous memory mappings (mmap on POSIX, VirtualAlloc on Windows). A
// mapping is never writable and executable at the same time: Protection has
// no such value. Errors are the system's numbers: errno, or GetLastError().

#include <cstddef>
#include <cstdint>

namespace quorvel::platform {

enum class Protection : unsigned char { None, ReadOnly, ReadWrite, ReadExecute };

class Mapping {
 public:
  Mapping() = default;
  Mapping(Mapping&& other) noexcept;
  Mapping& operator=(Mapping&& other) noexcept;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping();

  // A private, zero-filled mapping; pages are obtained lazily on first touch.
  // Returns 0 on success, else the errno value.
  static int create(std::size_t size, Protection protection, Mapping& out);

  // Address space only: inaccessible, and no memory is set aside for it
  // until a range is made accessible and touched. Returns 0 or errno.
  static int reserve(std::size_t size, Mapping& out);

  // Returns 0 on success, else the errno value. Offsets and sizes are page aligned.
  int protect(Protection protection) { return protect_range(0, size_, protection); }
  int protect_range(std::size_t offset, std::size_t size, Protection protection);

  // Gives the pages of the range back to the system; they read as zero again
  // at the same addresses. Falls back to writing zeros if that is refused.
  void discard(std::size_t offset, std::size_t size);

  std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  explicit operator bool() const { return data_ != nullptr; }

 private:
  void release() noexcept;

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

std::size_t page_size();

// Moves the pages of [from, from + size) to `to`, replacing what is there;
// the source stays mapped and reads as zero, so no range is ever a hole that
// another thread could map something into. All three are page aligned. False
// where the system cannot do it, and then nothing has moved.
bool move_pages(std::uint8_t* from, std::uint8_t* to, std::size_t size);

}  // namespace quorvel::platform
