#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "driver/run.h"

namespace installer {

// Searches the run's system entities' volumes, in record order, for the bundle it
// names; installs it from the first volume that holds it into the run's destination
// folder, removes the mount record, detaches that volume, clears the bundle's hidden
// flag, and returns the exit status (0 installed, 1 otherwise).  Volumes searched in
// vain are detached on the way; a volume that cannot be listed ends the search with
// its volume left attached.
int installFromVolumes(const Run& run);

// Whether a name on a volume is the bundle name asked for: the same Unicode text under
// canonical equivalence (composed and decomposed forms match), letter case and blanks
// significant.  Names that are not valid UTF-8 match only byte for byte.
bool sameBundleName(std::string_view onVolume, std::string_view asked);

// A volume listing as people read lists of strings: ["a", "b \"c\""].  Double quotes and
// backslashes are escaped with a backslash, control characters written as \n, \t, \r,
// \0 or \u{XX}, bytes that are not UTF-8 shown as U+FFFD.
std::string listingText(const std::vector<std::string>& names);

}  // namespace installer
