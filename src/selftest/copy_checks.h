#pragma once

#include <vector>

#include "selftest/report.h"
#include "selftest/workspace.h"

namespace installer::selftest {

// Installs a bundle with one of everything (see feature_bundle.h) with the tool's own
// replaceWithCopy into a folder beside it, first where nothing stands, then over that
// copy, and compares each copy with the source item by item: a line for each install
// and one for each thing a copy must keep.
std::vector<CheckLine> copyChecks(const Workspace& workspace);

}  // namespace installer::selftest
