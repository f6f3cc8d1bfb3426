#pragma once

#include <vector>

#include "selftest/report.h"

namespace installer::selftest {

// Looks for the self-test's own process among those running from its executable's
// folder, as the tool looks for an app's processes before replacing it: the system's
// list of processes and the executable path it gives for each (proc_listallpids and
// proc_pidpath on macOS) must find it.
std::vector<CheckLine> runningProcessChecks();

}  // namespace installer::selftest
