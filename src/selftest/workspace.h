#pragma once

#include <string>

#include "platform/result.h"

// The self-test's own temporary folder: fresh for each run, on the volume that holds
// /Applications where the system has one (so that the copy, the swap, the locks and
// the flushes meet the file system an install meets), never inside /Applications.
namespace installer::selftest {

struct Workspace {
  // The folder, absolute, without a trailing slash.
  std::string path;
  // Where it lies, for the report: "on the volume of /Applications", or why not.
  std::string placement;
  // Whether it shares its volume with /Applications.
  bool besideApplications = false;

  // `name` inside the folder.
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// Makes the folder in the first candidate that shares /Applications' volume and lets
// the running user create a folder: $TMPDIR, /private/tmp, /Users/Shared, /var/tmp,
// /tmp.  Where /Applications does not exist (Linux, as a rule) or no candidate shares
// its volume, in the first candidate that works.
Result<Workspace> makeWorkspace();

// Makes the folder `name` (mode 0755) in the workspace and returns its path.
Result<std::string> makeFolder(const Workspace& workspace, const std::string& name);

}  // namespace installer::selftest
