#include "platform/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/os_error.hpp"

namespace quorvel::platform {
namespace {

// open() needs a NUL-terminated path; an embedded NUL would silently name a
// different file, so it is refused.
bool to_c_path(std::string_view path, std::string& out) {
  if (path.find('\0') != std::string_view::npos) return false;
  out.assign(path);
  return true;
}

template <class Buffer>
int read_into(int fd, Buffer& out) {
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    out.reserve(out.size() + static_cast<std::size_t>(info.st_size) + 1);
  }
  constexpr std::size_t kChunk = 1 << 16;
  for (;;) {
    std::size_t old_size = out.size();
    std::size_t room = out.capacity() - old_size;
    if (room < kChunk) room = kChunk;
    out.resize(old_size + room);
    ssize_t got = ::read(fd, out.data() + old_size, room);
    if (got < 0) {
      int error = errno;
      out.resize(old_size);
      if (error == EINTR) continue;
      return error;
    }
    out.resize(old_size + static_cast<std::size_t>(got));
    if (got == 0) return 0;
  }
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

int open_for_reading(std::string_view path, UniqueFd& out) {
  std::string c_path;
  if (!to_c_path(path, c_path)) return EINVAL;
  int fd = ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  UniqueFd file(fd);
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) return EISDIR;
  out = std::move(file);
  return 0;
}

int create_for_writing(std::string_view path, UniqueFd& out) {
  std::string c_path;
  if (!to_c_path(path, c_path)) return EINVAL;
  int fd = ::open(c_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  out = UniqueFd(fd);
  return 0;
}

int read_to_end(int fd, std::vector<std::uint8_t>& out) { return read_into(fd, out); }
int read_to_end(int fd, std::string& out) { return read_into(fd, out); }

int read_some(int fd, std::uint8_t* buffer, std::size_t size, std::size_t& got) {
  got = 0;
  for (;;) {
    ssize_t read = ::read(fd, buffer, size);
    if (read >= 0) {
      got = static_cast<std::size_t>(read);
      return 0;
    }
    if (errno != EINTR) return errno;
  }
}

int write_all(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (written == 0) return kWriteZero;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

std::string file_error_text(int error) {
  if (error == kWriteZero) return "failed to write whole buffer";
  return os_error_text(error);
}

}  // namespace quorvel::platform
