#pragma once

#include <string>
#include <vector>

#include "image/mount.h"

namespace installer {

// Searches the entities' volumes, in order, for the bundle named `bundleName`, installs
// it from the first volume that holds it, cleans up and returns the exit status.
int installFromVolumes(const std::vector<SystemEntity>& entities, const std::string& bundleName);

}  // namespace installer
