#pragma once

#include <string>

namespace installer {

// Puts a copy of the bundle at `path` at `toLocation` (the bundle's own path at the
// destination), replacing whatever stands there.  Logs the outcome; true when the copy
// is in place.
bool copyApp(const std::string& path, const std::string& toLocation);

}  // namespace installer
