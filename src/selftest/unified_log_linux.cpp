// Linux has no unified log: the tool's records go to syslog(3) and standard error.
#include "selftest/log_checks.h"

namespace installer::selftest {

Outcome findInUnifiedLog(const std::string&, const std::string&) {
  return skipped("Linux has no unified log (the tool's records go to syslog and standard error)");
}

}  // namespace installer::selftest
