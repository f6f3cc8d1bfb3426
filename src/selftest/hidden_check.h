#pragma once

#include <vector>

#include "selftest/report.h"
#include "selftest/workspace.h"

namespace installer::selftest {

// Hides a bundle (UF_HIDDEN on macOS, user.hidden on Linux) and unhides it as the
// tool does after an install: readHiddenFlag must see the flag, clearHiddenFlag must
// clear it, and a reading that does not go through the tool's code must agree.
std::vector<CheckLine> hiddenFlagChecks(const Workspace& workspace);

}  // namespace installer::selftest
