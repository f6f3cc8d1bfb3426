#pragma once

#include <string>
#include <vector>

#include "platform/result.h"

namespace installer {

// Whether anything (file, folder, link, even a dangling one) stands at `path`.
bool itemExists(const std::string& path);

// The whole file at `path`.
Result<std::string> readWholeFile(const std::string& path);

// The names of the entries directly inside the folder at `path`, hidden ones
// included, "." and ".." left out, in the order the file system returns them.
Result<std::vector<std::string>> listFolder(const std::string& path);

// Removes the item at `path`, a folder with everything inside it; never follows a
// symbolic link (a link is removed itself).  Folders inside whose owner may not read
// or change them (read-only folders of a copy the running user made) are opened up
// first.  Any depth, with a bounded number of descriptors and no recursion.
Result<void> removeItem(const std::string& path);

// `base` with one path component appended, as a path ("/A" + "x" gives "/A/x").
std::string appendingPathComponent(const std::string& base, const std::string& component);

}  // namespace installer
