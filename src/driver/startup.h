#pragma once

#include <optional>
#include <string>

#include "driver/run.h"

namespace installer {

// Start-up: checks the command line (image name and bundle name after the tool's own
// path), logs the two arguments, derives and logs the working folder into
// `run.basePath`.  Returns the exit status when the run ends here, nothing when it
// goes on.
std::optional<int> startUp(Run& run);

// The working folder for a main bundle location: the location with its last path
// component removed twice, never going above "/".
std::string basePathForBundleLocation(const std::string& bundleLocation);

}  // namespace installer
