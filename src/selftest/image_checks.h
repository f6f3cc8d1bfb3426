#pragma once

#include <string>
#include <vector>

#include "selftest/image_tools.h"
#include "selftest/report.h"
#include "selftest/workspace.h"

namespace installer::selftest {

// A whole install from a real disk image with the tool's own steps: makes a small
// image holding a tiny bundle, attaches it with mountImage (hdiutil through bash, the
// record qzmount.plist in the working folder), finds the bundle on a volume with
// listFolder and sameBundleName (asked for in composed form, stored decomposed),
// copies it off with replaceWithCopy, detaches with unmountDMG, and checks that each
// volume is gone.
std::vector<CheckLine> imageChecks(const Workspace& workspace, const ImageTools& tools);

// Detaches whatever the checks' mount record still lists as mounted, for a run that
// ended before its own detach.  Returns the mount points that stay.
std::vector<std::string> detachLeftovers(const Workspace& workspace, const ImageTools& tools);

}  // namespace installer::selftest
