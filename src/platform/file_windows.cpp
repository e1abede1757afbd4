#include "platform/file.hpp"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>

#include "platform/os_error.hpp"

// Files are opened with CreateFileW, so failures carry the system's own
// error codes and texts, and then handed to the C runtime as a descriptor
// (_open_osfhandle), which is what UniqueFd holds on every platform. Reads
// and writes go to the handle behind the descriptor.

namespace quorvel::platform {
namespace {

int last_error() { return static_cast<int>(GetLastError()); }

// UTF-8 to the UTF-16 Windows paths are made of. An embedded NUL would
// silently name a different file, so it is refused as a bad name.
int to_wide_path(std::string_view path, std::wstring& out) {
  if (path.find('\0') != std::string_view::npos) return ERROR_INVALID_NAME;
  out.clear();
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                                         nullptr, 0);
  if (length <= 0) return last_error();
  out.resize(static_cast<std::size_t>(length));
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()), out.data(), length);
  return 0;
}

int open_file(std::string_view path, DWORD access, DWORD disposition, int descriptor_flags, UniqueFd& out) {
  std::wstring wide;
  if (int error = to_wide_path(path, wide); error != 0) return error;
  HANDLE handle = CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return last_error();
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), descriptor_flags | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return ERROR_TOO_MANY_OPEN_FILES;
  }
  out = UniqueFd(fd);
  return 0;
}

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// One ReadFile moves at most a DWORD's worth of bytes.
constexpr std::size_t kLargestTransfer = std::size_t{1} << 30;

template <class Buffer>
int read_into(int fd, Buffer& out) {
  LARGE_INTEGER file_size{};
  if (GetFileSizeEx(handle_of(fd), &file_size) && file_size.QuadPart > 0) {
    out.reserve(out.size() + static_cast<std::size_t>(file_size.QuadPart) + 1);
  }
  constexpr std::size_t kChunk = 1 << 16;
  for (;;) {
    const std::size_t old_size = out.size();
    std::size_t room = out.capacity() - old_size;
    if (room < kChunk) room = kChunk;
    out.resize(old_size + room);
    std::size_t got = 0;
    const int error = read_some(fd, reinterpret_cast<std::uint8_t*>(out.data()) + old_size, room, got);
    out.resize(old_size + got);
    if (error != 0) return error;
    if (got == 0) return 0;
  }
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) _close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) _close(fd_);
}

// Windows refuses to open a directory as a file (ERROR_ACCESS_DENIED).
int open_for_reading(std::string_view path, UniqueFd& out) {
  return open_file(path, GENERIC_READ, OPEN_EXISTING, _O_RDONLY, out);
}

int create_for_writing(std::string_view path, UniqueFd& out) {
  return open_file(path, GENERIC_WRITE, CREATE_ALWAYS, _O_WRONLY, out);
}

int read_to_end(int fd, std::vector<std::uint8_t>& out) { return read_into(fd, out); }
int read_to_end(int fd, std::string& out) { return read_into(fd, out); }

// A pipe whose writer has gone reports ERROR_BROKEN_PIPE where a file
// reports its end.
int read_some(int fd, std::uint8_t* buffer, std::size_t size, std::size_t& got) {
  DWORD read = 0;
  got = 0;
  if (!ReadFile(handle_of(fd), buffer, static_cast<DWORD>(std::min(size, kLargestTransfer)), &read, nullptr)) {
    const int error = last_error();
    return error == ERROR_BROKEN_PIPE ? 0 : error;
  }
  got = read;
  return 0;
}

int write_all(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(handle_of(fd), data, static_cast<DWORD>(std::min(size, kLargestTransfer)), &written, nullptr)) {
      return last_error();
    }
    if (written == 0) return kWriteZero;
    data += written;
    size -= written;
  }
  return 0;
}

std::string file_error_text(int error) {
  if (error == kWriteZero) return "failed to write whole buffer";
  return os_error_text(error);
}

}  // namespace quorvel::platform
