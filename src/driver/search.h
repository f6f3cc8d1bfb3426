#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/run.h"

namespace installer {

// The volume that holds the bundle, and the bundle's name as the volume stores it.
struct FoundBundle {
  std::string mountPoint;
  std::string nameOnVolume;
};

// What the search came to: the volume to install from, or the exit status the run
// ends with.
struct SearchOutcome {
  std::optional<FoundBundle> found;
  int exitStatus = 1;
};

// Searches the run's system entities' volumes, in record order, for the bundle it
// names, logging each volume and its listing; the first volume that holds it is
// found.  Volumes searched in vain are detached on the way.  When none holds it, the
// mount record is removed and the run ends with status 1; a volume that cannot be
// listed ends the run at once (status 1, the record removed, its volume left
// attached).
SearchOutcome searchVolumes(const Run& run);

// Whether a name on a volume is the bundle name asked for: the same Unicode text under
// canonical equivalence (composed and decomposed forms match), letter case and blanks
// significant.  Names that are not valid UTF-8 match only byte for byte.
bool sameBundleName(std::string_view onVolume, std::string_view asked);

// A volume listing as people read lists of strings: ["a", "b \"c\""].  Double quotes and
// backslashes are escaped with a backslash, control characters written as \n, \t, \r,
// \0 or \u{XX}, bytes that are not UTF-8 shown as U+FFFD.
std::string listingText(const std::vector<std::string>& names);

}  // namespace installer
