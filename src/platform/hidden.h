#pragma once

#include <string>

#include "platform/result.h"

namespace installer {

// The hidden flag of the item at `path` itself; a symbolic link is not followed.
// macOS: the UF_HIDDEN file flag.  Linux, whose files carry no such flag: the extended
// attribute "user.hidden" holding exactly "1"; any other value, no attribute, or a
// file system without extended attributes reads as visible.
Result<bool> readHiddenFlag(const std::string& path);

// Clears the hidden flag of the item at `path` itself (on Linux: removes the
// attribute).
Result<void> clearHiddenFlag(const std::string& path);

}  // namespace installer
