#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace installer {

// One system entity of the attached image, reduced to what the search needs.
struct SystemEntity {
  // The entity's "mount-point" string; nothing when the key is missing or its value
  // is not a string (a partition map, a whole-disk entry).
  std::optional<std::string> mountPoint;
};

// What the mount step came to.
struct MountOutcome {
  // The system entities in record order, when the run goes on to the search.
  std::optional<std::vector<SystemEntity>> entities;
  // The exit status, when the run ends here.
  int exitStatus = 0;
};

// The mount record's path: "qzmount.plist" in the working folder.
std::string mountRecordPath();

// The attach command line for an image in the working folder, its output sent into
// the mount record.
std::string mountCommandLine(const std::string& basePath, const std::string& imageName);

// Attaches the image named `imageName` in the working folder, reads and checks the
// mount record, logging every step; sets `cmd_string` and `plistData`.
MountOutcome mountImage(const std::string& imageName);

// Gives up the install: logs the failure with its description, removes the mount
// record and returns the exit status 1.  Attached volumes stay attached.
int abandonInstall(std::string_view description);

}  // namespace installer
