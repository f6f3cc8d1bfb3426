#pragma once

#include <optional>
#include <string>
#include <vector>

namespace installer {

// The values one run shares between its steps.  Each is set once, in this order, by
// start-up and the mount step, and read afterwards.

// The command line as received: [0] the tool, [1] the disk image's file name,
// [2] the bundle's name.
extern std::vector<std::string> arguments;
// The working folder: holds the disk image and receives the mount record.  An
// absolute path without a trailing slash ("/" only for the root).
extern std::string basePath;
// The mount command line as run.
extern std::string cmd_string;
// The bytes of the mount record as read; nothing when the read failed.
extern std::optional<std::string> plistData;

// `base` with one path component appended, as a path ("/A" + "x" gives "/A/x").
std::string appendingPathComponent(const std::string& base, const std::string& component);

}  // namespace installer
