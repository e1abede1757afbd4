#include "platform/os_error.hpp"

#include <cerrno>
#include <cstring>

namespace quorvel::platform {

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

std::string system_message(int error_number) { return std::strerror(error_number); }

}  // namespace quorvel::platform
