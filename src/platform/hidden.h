#pragma once

#include <optional>
#include <string>

namespace installer {

// What reading an item's hidden flag gave.
struct HiddenFlag {
  std::optional<bool> hidden;  // nothing when the flag could not be read
  std::string error;           // then the failure's description
};

// The hidden flag of the item at `path` itself; a symbolic link is not followed.
// macOS: the UF_HIDDEN file flag.  Linux, whose files carry no such flag: the extended
// attribute "user.hidden" holding exactly "1"; any other value, no attribute, or a
// file system without extended attributes reads as visible.
HiddenFlag readHiddenFlag(const std::string& path);

// Clears the hidden flag of the item at `path` itself (on Linux: removes the
// attribute).  Nothing on success, else the failure's description.
std::optional<std::string> clearHiddenFlag(const std::string& path);

}  // namespace installer
