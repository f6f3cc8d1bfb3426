#pragma once

#include <vector>

#include "selftest/report.h"
#include "selftest/workspace.h"

namespace installer::selftest {

// The three renames the tool puts a finished copy in place with (systemFolderChanges()),
// in a folder on the volume the workspace is on: the swap of a folder and a file,
// the rename that must not replace (once where nothing stands, once where something
// does), and the plain rename over a file.
std::vector<CheckLine> renameChecks(const Workspace& workspace);

}  // namespace installer::selftest
