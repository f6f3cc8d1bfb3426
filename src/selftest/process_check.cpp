#include "selftest/process_check.h"

#include <unistd.h>

#include <algorithm>

#include "platform/processes.h"
#include "platform/self.h"

namespace installer::selftest {

namespace {

Outcome findOwnProcess() {
  std::optional<std::string> executable = executablePath();
  if (!executable || executable->rfind('/') == 0) {
    return skipped("the self-test's own folder is unknown or /");
  }
  const std::string folder = executable->substr(0, executable->rfind('/'));
  const std::vector<pid_t> found = processesRunningFrom(folder);
  if (std::find(found.begin(), found.end(), ::getpid()) == found.end()) {
    return failed("process " + std::to_string(::getpid()) + " is not among the " + std::to_string(found.size()) +
                  " found running from " + folder);
  }
  return passed(std::to_string(found.size()) + " running from " + folder);
}

}  // namespace

std::vector<CheckLine> runningProcessChecks() {
  return {{"find the processes running from a folder", findOwnProcess()}};
}

}  // namespace installer::selftest
