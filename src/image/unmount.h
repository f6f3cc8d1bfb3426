#pragma once

#include <string>

namespace installer {

// The detach command line for a mount point.
std::string detachCommandLine(const std::string& mountPoint);

// Detaches the volume mounted at `path` with hdiutil; a failure is logged only.
void unmountDMG(const std::string& path);

// Removes the item at `path` (the mount record); a failure is logged only.
void removeFiles(const std::string& path);

}  // namespace installer
