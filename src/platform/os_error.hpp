#pragma once
#include <string>

namespace quorvel::platform {

// "No such file or directory (os error 2)": the text every file message carries.
std::string os_error_text(int error_number);

// "Os { code: 12, kind: OutOfMemory, message: \"Cannot allocate memory\" }":
// the longer description used where the error kind helps the reader.
std::string os_error_description(int error_number);

// What each platform half provides: the system's own message for an error
// number, and the kind of error it is ("NotFound", "PermissionDenied", ...).
std::string system_message(int error_number);
const char* error_kind(int error_number);

}  // namespace quorvel::platform
