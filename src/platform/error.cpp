#include "platform/error.h"

#include <cstring>
#include <string>

#include "platform/log.h"

namespace installer {

namespace {

// strerror_r comes in two shapes: glibc's returns the text (maybe a static string
// rather than the buffer), the XSI one that macOS has returns 0 or an error number.
// Overloading on the result picks the right reading for whichever the system has; the
// other overload goes unused.
[[maybe_unused]] std::string strerrorResult(const char* text, const char*, int) { return text; }

[[maybe_unused]] std::string strerrorResult(int result, const char* buffer, int errnum) {
  return result == 0 ? buffer : "Unknown error " + std::to_string(errnum);
}

}  // namespace

std::string errorText(int errnum) {
  char buffer[256] = {};
  return strerrorResult(strerror_r(errnum, buffer, sizeof buffer), buffer, errnum);
}

Error failure(std::string_view what, std::string_view operation, std::string_view path) {
  std::string text(what);
  text += " (";
  text += operation;
  text += ' ';
  // Paths often come from a disk image; whatever they hold stays inside one message.
  text += printable(path);
  text += ')';
  return Error{0, std::move(text)};
}

Error systemError(int errnum, std::string_view operation, std::string_view path) {
  Error error = failure(errorText(errnum), operation, path);
  error.code = errnum;
  return error;
}

}  // namespace installer
