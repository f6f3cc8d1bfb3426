#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image/record.h"

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

// The mount record's path: "qzmount.plist" in the working folder `basePath`.
std::string mountRecordPath(const std::string& basePath);

// The attach command line for the image `imageName` in the working folder, its output
// sent into the mount record.
std::string mountCommandLine(const std::string& basePath, const std::string& imageName);

// Attaches the image named `imageName` in the working folder `basePath`, reads and
// checks the mount record, logging every step.
MountOutcome mountImage(const std::string& basePath, const std::string& imageName);

// Gives up after the mount record, or a volume's listing, could not be read: logs the
// failure with its description, removes the mount record at `recordPath` and returns
// the exit status 1.  Attached volumes stay attached.
int abandonOnReadFailure(const std::string& recordPath, std::string_view description);

}  // namespace installer
