#pragma once

#include <string>
#include <string_view>

namespace installer {

// "<system error text> (<operation> <path>)", e.g.
// "No space left on device (writing /Applications/X.app/Contents/MacOS/X)".
std::string describeError(int errnum, std::string_view operation, std::string_view path);

// The system's text for errnum alone.
std::string errorText(int errnum);

}  // namespace installer
