#pragma once

#include <string>
#include <string_view>

#include "platform/result.h"

namespace installer {

// The system's text for errnum alone.
std::string errorText(int errnum);

// The Error for a failed system call: errnum, and "<system text> (<operation>
// <path>)", e.g. "No space left on device (writing /Applications/X.app/Contents/MacOS/X)".
Error systemError(int errnum, std::string_view operation, std::string_view path);

// The Error for a failure no system call reported: "<what> (<operation> <path>)",
// e.g. "A FIFO (named pipe) cannot be part of an application bundle (copying /V/X.app/p)".
Error failure(std::string_view what, std::string_view operation, std::string_view path);

// The description alone of systemError(errnum, operation, path).
inline std::string describeError(int errnum, std::string_view operation, std::string_view path) {
  return systemError(errnum, operation, path).description;
}

}  // namespace installer
