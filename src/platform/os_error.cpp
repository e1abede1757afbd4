#include "platform/os_error.hpp"

namespace quorvel::platform {

std::string os_error_text(int error_number) {
  std::string text = system_message(error_number);
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
  text += system_message(error_number);
  text += "\" }";
  return text;
}

}  // namespace quorvel::platform
