#pragma once
// Whole-file reads and writes over C runtime descriptors. Failures come back
// as the system's error number (errno, or GetLastError() on Windows); the
// descriptor is closed on every path by UniqueFd.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::platform {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

// Opens an existing regular file (or device) for reading. A directory is an
// open failure (EISDIR), as is a path with an embedded NUL byte (EINVAL).
int open_for_reading(std::string_view path, UniqueFd& out);

// Creates the file, or truncates an existing one, for writing.
int create_for_writing(std::string_view path, UniqueFd& out);

// Reads everything up to end of file, appending to `out`.
int read_to_end(int fd, std::vector<std::uint8_t>& out);
int read_to_end(int fd, std::string& out);

// Reads at most `size` bytes into `buffer`, continuing after EINTR; `got`
// is 0 at end of file.
int read_some(int fd, std::uint8_t* buffer, std::size_t size, std::size_t& got);

// Error value returned by write_all when a write makes no progress.
inline constexpr int kWriteZero = -1;

// Writes every byte, continuing after partial writes and EINTR.
int write_all(int fd, const std::uint8_t* data, std::size_t size);

// The text for an error returned above: the system's text plus " (os error N)", or
// "failed to write whole buffer" for kWriteZero.
std::string file_error_text(int error);

}  // namespace quorvel::platform
