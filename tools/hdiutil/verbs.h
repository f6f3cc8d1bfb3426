#pragma once

#include <string>

namespace installer::standin {

// What a verb came to: hdiutil's exit status and what it prints.
struct VerbOutcome {
  int status = 0;
  std::string standardOutput;
  std::string standardError;
};

// hdiutil attach: opens the image at `image`, presents each of its volumes at a
// fresh mount point of its own and describes them, as a property list when
// `propertyList`.  On failure nothing it made is left behind.
VerbOutcome attachImage(const std::string& image, bool propertyList);

// hdiutil detach: takes away the volume at `mountPoint` and the mount point itself,
// but only when the stand-in made it; any other path is refused untouched.
VerbOutcome detachVolume(const std::string& mountPoint, bool force);

// Reads and drops what waits on standard input (the answer to a licence prompt),
// without waiting on a terminal or on a writer that never closes, then points
// standard input at /dev/null so that no child can wait on it either.
void drainStandardInput();

}  // namespace installer::standin
