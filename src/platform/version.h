#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace installer {

// The version this program was built as, such as "0.1.0".
std::string_view toolVersion();

// Keeps the mark "@(#)image-installer <version>" in the executable, where what(1)
// finds it.  Each program calls it once: a mark nothing refers to is left out by the
// linker.
void keepVersionMark();

// The version that the first of these marks in `bytes` (an executable's contents)
// names, read as what(1) reads it: up to a NUL, a double quote, '>', a backslash or a
// line break.  Nothing when `bytes` holds no such mark.
std::optional<std::string> versionMarkIn(std::string_view bytes);

}  // namespace installer
