#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image/record.h"
#include "runner/runner.h"

namespace installer {

// What the mount step learned, and whether the run goes on.
struct MountOutcome {
  // The attach command line as run.
  std::string cmd_string;
  // The bytes of the mount record as read; nothing when they were not read.
  std::optional<std::string> plistData;
  // The system entities in record order, when the run goes on to the search.
  std::optional<std::vector<SystemEntity>> entities;
  // The exit status, when the run ends here.
  int exitStatus = 0;
};

// How long the attach may run.  hdiutil verifies a compressed image's checksums
// before it mounts it, reading the whole image: a 15 GB image read at 25 MB/s (a busy
// or spinning disk, a USB 2 drive) takes ten minutes.  Twice that still ends a hung
// attach within the hour a deployment agent's run is usually given.
inline constexpr TimeLimit kAttachLimit{std::chrono::minutes(20), std::chrono::seconds(5)};

// The mount record's path: "qzmount.plist" in the working folder `basePath`.
std::string mountRecordPath(const std::string& basePath);

// The attach command line for the image `imageName` in the working folder, its output
// sent into the mount record.
std::string mountCommandLine(const std::string& basePath, const std::string& imageName);

// Attaches the image named `imageName` in the working folder `basePath` (the attach
// stopped once `limit` passes, then taken as failed), reads and checks the mount
// record, logging every step.
MountOutcome mountImage(const std::string& basePath, const std::string& imageName, const TimeLimit& limit);

// Gives up after the mount record, or a volume's listing, could not be read: logs the
// failure with its description, removes the mount record at `recordPath` and returns
// the exit status 1.  Attached volumes stay attached.
int abandonOnReadFailure(const std::string& recordPath, std::string_view description);

}  // namespace installer
