#pragma once

#include <string>
#include <vector>

#include "platform/result.h"

namespace installer {

// Whether anything (file, folder, link, even a dangling one) stands at `path`.
bool itemExists(const std::string& path);

// The whole regular file at `path`, when it holds at most `maxBytes` bytes.  A symbolic
// link is not followed, and anything but a regular file (a folder, a FIFO, a device)
// is refused without being read, so the call never blocks.
Result<std::string> readRegularFile(const std::string& path, size_t maxBytes);

// Makes an empty regular file at `path`, where nothing may stand yet (not even a
// dangling link), with the permissions a shell gives a file it creates.
Result<void> createEmptyFile(const std::string& path);

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
