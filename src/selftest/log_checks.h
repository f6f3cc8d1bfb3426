#pragma once

#include <string>
#include <vector>

#include "selftest/report.h"

namespace installer::selftest {

// Logs one record with a fresh random token through the tool's logMessage, and looks
// for it whole on standard error and in the unified log.
std::vector<CheckLine> logChecks(const std::string& recordsFile);

// Looks for `message` (which holds `token`) in the unified log under the subsystem
// "image-installer", whole and not "<private>", retrying for a while as the log may
// lag; on Linux, skipped.  unified_log_linux.cpp and unified_log_macos.cpp.
Outcome findInUnifiedLog(const std::string& message, const std::string& token);

}  // namespace installer::selftest
