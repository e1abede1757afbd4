#include "platform/os_error.hpp"

#include <windows.h>

#include <iterator>

namespace quorvel::platform {
namespace {

// ERROR_DYNAMIC_CODE_BLOCKED, which older headers lack: the process forbids
// code it did not load from an image.
constexpr int kDynamicCodeBlocked = 1655;

struct ErrorKind {
  DWORD code;
  const char* kind;
};

constexpr ErrorKind kErrorKinds[] = {
    {ERROR_FILE_NOT_FOUND, "NotFound"},
    {ERROR_PATH_NOT_FOUND, "NotFound"},
    {ERROR_ACCESS_DENIED, "PermissionDenied"},
    {kDynamicCodeBlocked, "PermissionDenied"},
    {ERROR_NOT_ENOUGH_MEMORY, "OutOfMemory"},
    {ERROR_OUTOFMEMORY, "OutOfMemory"},
    {ERROR_COMMITMENT_LIMIT, "OutOfMemory"},
    {ERROR_FILE_EXISTS, "AlreadyExists"},
    {ERROR_ALREADY_EXISTS, "AlreadyExists"},
    {ERROR_INVALID_PARAMETER, "InvalidInput"},
    {ERROR_INVALID_ADDRESS, "InvalidInput"},
    {ERROR_INVALID_NAME, "InvalidFilename"},
    {ERROR_FILENAME_EXCED_RANGE, "InvalidFilename"},
    {ERROR_NO_UNICODE_TRANSLATION, "InvalidData"},
    {ERROR_DIRECTORY, "NotADirectory"},
    {ERROR_DISK_FULL, "StorageFull"},
    {ERROR_HANDLE_DISK_FULL, "StorageFull"},
    {ERROR_WRITE_PROTECT, "ReadOnlyFilesystem"},
    {ERROR_NOT_SUPPORTED, "Unsupported"},
    {ERROR_CALL_NOT_IMPLEMENTED, "Unsupported"},
    {ERROR_OPERATION_ABORTED, "Interrupted"},
};

}  // namespace

const char* error_kind(int error_number) {
  for (const ErrorKind& entry : kErrorKinds) {
    if (entry.code == static_cast<DWORD>(error_number)) return entry.kind;
  }
  return "Uncategorized";
}

// The system's text for the code, in UTF-8, without the line break that
// ends every message.
std::string system_message(int error_number) {
  wchar_t wide[1024];
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(error_number), 0, wide, static_cast<DWORD>(std::size(wide)),
                                nullptr);
  while (length > 0 && (wide[length - 1] == L'\n' || wide[length - 1] == L'\r')) --length;
  if (length == 0) return "Unknown error";
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return "Unknown error";
  std::string text(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), text.data(), bytes, nullptr, nullptr);
  return text;
}

}  // namespace quorvel::platform
