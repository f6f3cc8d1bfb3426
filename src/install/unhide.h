#pragma once

#include <string>

namespace installer {

// Clears the hidden flag of the installed bundle at `path` when it is set.  True when
// the flag is clear afterwards.  When the flag cannot be read or cleared, logs the
// failure and returns false; the caller then removes the mount record and ends the
// run with status 1.
bool checkAndUnhideApp(const std::string& path);

}  // namespace installer
