#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"

namespace installer {

// Whether anything (file, folder, link, even a dangling one) stands at `path`.
bool itemExists(const std::string& path);

// The whole regular file at `path`, when it holds at most `maxBytes` bytes and is this
// user's alone: owned by the effective user and writable by nobody else.  A symbolic
// link is not followed, and anything but a regular file (a folder, a FIFO, a device)
// is refused without being read, so the call never blocks.
Result<std::string> readPrivateFile(const std::string& path, size_t maxBytes);

// Makes a new, empty regular file that only its owner may read or write (mode 0600,
// whatever the file creation mask) at `prefix` followed by twelve random letters and
// digits, and gives its path.  Never follows a link, never takes an existing name.
Result<std::string> createPrivateFile(const std::string& prefix);

// Renames the item at `from` to `to` in one step, replacing a file or a link (never
// what it points to) that stands at `to`.
Result<void> renameItem(const std::string& from, const std::string& to);

// The target of the symbolic link at `path`, however long, or nothing (with errno
// telling why) when it cannot be read.
std::optional<std::string> linkTarget(const std::string& path);

// `length` letters and digits drawn from the system's random source.
std::string randomLetters(size_t length);

// The names of the entries directly inside the folder at `path`, hidden ones
// included, "." and ".." left out, in the order the file system returns them.
Result<std::vector<std::string>> listFolder(const std::string& path);

// `base` with one path component appended, as a path ("/A" + "x" gives "/A/x").
std::string appendingPathComponent(const std::string& base, const std::string& component);

}  // namespace installer
