#pragma once

#include <string>
#include <vector>

#include "selftest/log_reading.h"
#include "selftest/report.h"

namespace installer::selftest {

// Logs two records through the tool's logMessage, each with a fresh random token: a
// short one, and one long enough that the unified log receives it cut.  Looks for both
// whole on standard error, and for what the unified log should show of each there.
std::vector<CheckLine> logChecks(const std::string& recordsFile);

// One verdict per record, in order: whether the unified log shows the record under the
// subsystem "image-installer" as expected (readRecord on all this process's records,
// retried for a while as the log may lag); on Linux, skipped.  unified_log_linux.cpp
// and unified_log_macos.cpp.
std::vector<Outcome> findInUnifiedLog(const std::vector<ExpectedRecord>& records);

}  // namespace installer::selftest
