#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace installer {

// The ids, in ascending order, of the running processes whose executable is the item
// at `item` or lies inside it (an application bundle), its folder compared with links
// resolved, as the system names executables.  A process this user may not inspect,
// or that ends while it is looked at, is left out: the answer is what could be seen.
std::vector<pid_t> processesRunningFrom(const std::string& item);

// `item` as the system names the executables inside it: its folder with links
// resolved, then its own name; `item` as it is when the folder cannot be resolved.
std::string resolvedItemPath(const std::string& item);

// On macOS the folders of the data volume, /Applications among them, are reached by
// firmlinks from the system volume, and the system may name a file under either
// path: "/Applications/X.app" or "/System/Volumes/Data/Applications/X.app".
enum class Firmlinks { none, dataVolume };

// Whether the executable path `executable`, as the system reports it, is `item` (an
// absolute path) or lies inside it: "/A/X.app2/x" does not lie inside "/A/X.app".
bool liesInside(std::string_view executable, std::string_view item, Firmlinks firmlinks);

}  // namespace installer
