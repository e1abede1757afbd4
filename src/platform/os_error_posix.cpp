#include "platform/os_error.hpp"

#include <cerrno>
#include <cstring>

namespace quorvel::platform {
namespace {

const char* error_kind(int error_number) {
  switch (error_number) {
    case ENOENT: return "NotFound";
    case EACCES:
    case EPERM: return "PermissionDenied";
    case EEXIST: return "AlreadyExists";
    case EINTR: return "Interrupted";
    case EINVAL: return "InvalidInput";
    case ENOMEM: return "OutOfMemory";
    case EISDIR: return "IsADirectory";
    case ENOTDIR: return "NotADirectory";
    case ENOSPC: return "StorageFull";
    case EROFS: return "ReadOnlyFilesystem";
    case EAGAIN: return "WouldBlock";
    default: return "Uncategorized";
  }
}

}  // namespace

std::string os_error_text(int error_number) {
  std::string text = std::strerror(error_number);
  text += " (os error ";
  text += std::to_string(error_number);
  text += ')';
  return text;
}

std::string os_error_description(int error_number) {
  std::string text = "Os { code: ";
  text += std::to_string(error_number);
  text += ", kind: ";
  text += error_kind(error_number);
  text += ", message: \"";
  text += std::strerror(error_number);
  text += "\" }";
  return text;
}

}  // namespace quorvel::platform
