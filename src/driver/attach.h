#pragma once

#include <optional>

#include "driver/run.h"

namespace installer {

// The mount step: attaches the image and reads the mount record into `run`.  Returns
// the exit status when the run ends here, nothing when it goes on to the search.
std::optional<int> attachImage(Run& run);

}  // namespace installer
