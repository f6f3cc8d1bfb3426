#pragma once

#include <string>

#include "runner/runner.h"

namespace installer {

// How long each detach, and each eject after a failed one, may run.  A detach takes
// seconds; one that waits on a busy or vanished device longer than this is not
// going to finish.
inline constexpr TimeLimit kDetachLimit{std::chrono::minutes(2), std::chrono::seconds(5)};

// The detach command line for a mount point.
std::string detachCommandLine(const std::string& mountPoint);

// The command line that ejects `target`, a device or a mount point, with diskutil.
std::string ejectCommandLine(const std::string& target);

// Detaches the volume mounted at `path` with hdiutil.  When that fails, logs so, naming
// the disk image as given on the command line, `imageName`, and tries once more with
// diskutil eject: on the image's whole device `device`, or on `path` when `device` is
// "" (macOS 27 deprecates hdiutil's detach, and it has been seen to fail there where
// diskutil works).  That attempt and its outcome are logged too.  Failures are logged
// only.  Each of the two commands is stopped once `limit` passes, then taken as failed.
void unmountDMG(const std::string& path, const std::string& imageName, const std::string& device,
                const TimeLimit& limit);

// Removes the item at `path` (the mount record); a failure is logged only.
void removeFiles(const std::string& path);

}  // namespace installer
