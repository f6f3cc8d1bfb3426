#pragma once

#include <vector>

#include "selftest/report.h"
#include "selftest/workspace.h"

namespace installer::selftest {

// The locks and flushes the tool's install takes on folders: an exclusive flock on a
// folder that a second open of it cannot share or take (EWOULDBLOCK) until it is let
// go, shared locks that do not exclude each other; and the two flushes, the one
// before the rename (flushBeforeRename) and the one after it (flushFolder).
std::vector<CheckLine> lockChecks(const Workspace& workspace);
std::vector<CheckLine> flushChecks(const Workspace& workspace);

}  // namespace installer::selftest
