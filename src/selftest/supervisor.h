#pragma once

#include <functional>
#include <optional>
#include <string>

#include "selftest/report.h"

// Keeps the promise that the self-test leaves nothing behind: the checks run in a
// child process, and this one cleans up after it however it ended (finished, crashed,
// killed, or interrupted with Ctrl-C).
namespace installer::selftest {

struct ChecksEnd {
  // What the checks counted; nothing when they did not finish.
  std::optional<Counts> counts;
  // How they ended when they did not finish: "killed by signal 11 (...)".
  std::string how;
};

// Runs `checks` in a child process, in a process group of its own, and waits for it
// and for every program it started.  From the call on, SIGINT, SIGTERM, SIGHUP and
// SIGQUIT that reach this process are passed on to that group instead of ending this
// one (unless they were ignored when it started), so that the caller's clean-up
// always runs.
ChecksEnd runSupervised(const std::function<Counts()>& checks);

}  // namespace installer::selftest
