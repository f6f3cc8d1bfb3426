#include "platform/error.h"

#include <cstring>

namespace installer {

std::string errorText(int errnum) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer;
  // the XSI variant returns an int.  Handle both.
  auto result = strerror_r(errnum, buffer, sizeof buffer);
  if constexpr (std::is_same_v<decltype(result), char*>) {
    return result;
  } else {
    return result == 0 ? buffer : "Unknown error " + std::to_string(errnum);
  }
}

Error systemError(int errnum, std::string_view operation, std::string_view path) {
  std::string text = errorText(errnum);
  text += " (";
  text += operation;
  text += ' ';
  text += path;
  text += ')';
  return Error{errnum, std::move(text)};
}

}  // namespace installer
