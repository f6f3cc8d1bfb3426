#pragma once

#include <string>

namespace installer {

// The detach command line for a mount point.
std::string detachCommandLine(const std::string& mountPoint);

// Detaches the volume mounted at `path` with hdiutil.  A failure is logged only, naming
// the disk image as given on the command line, `imageName`.
void unmountDMG(const std::string& path, const std::string& imageName);

// Removes the item at `path` (the mount record); a failure is logged only.
void removeFiles(const std::string& path);

}  // namespace installer
