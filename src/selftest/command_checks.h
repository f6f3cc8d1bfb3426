#pragma once

#include <vector>

#include "selftest/report.h"
#include "selftest/workspace.h"

namespace installer::selftest {

// Runs bash the way the tool runs its commands, with a time limit of half a second:
// one command that ignores SIGTERM and leaves a child that ignores it too, which must
// be stopped after its limit and its grace with nothing of it left running; and one
// that exits at once while a child it left holds its output, which must not hold the
// caller beyond the grace.  Process groups, the zombie wait and the signals are
// exactly what a Mac must prove.
std::vector<CheckLine> commandChecks(const Workspace& workspace);

}  // namespace installer::selftest
