#include "selftest/command_checks.h"

#include <chrono>
#include <thread>

#include "platform/fs.h"
#include "platform/process.h"

namespace installer::selftest {

namespace {

using Clock = std::chrono::steady_clock;
const TimeLimit kHalfSecond{std::chrono::milliseconds(500), std::chrono::milliseconds(500)};

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

Outcome stalledCommand(const std::string& survivor) {
  // The child outlives its shell only if SIGKILL misses the group; then it leaves a
  // file behind two seconds in.
  const std::string script = "(trap '' TERM; sleep 2; : >\"$0\") & trap '' TERM; sleep 60";
  const Clock::time_point start = Clock::now();
  Result<ChildOutcome> child = runMerged("/bin/bash", {"/bin/bash", "-c", script, survivor}, currentEnvironment(),
                                         kHalfSecond);
  const double took = secondsSince(start);
  if (!child) {
    return failed(child.error().description);
  }
  if (child->ending != Ending::StoppedAfterTimeLimit) {
    return failed("not reported as stopped after its time limit (status " + std::to_string(child->status) + ")");
  }
  if (took > 3.0) {
    return failed("took " + std::to_string(took) + " s, where 0.5 s and a grace of 0.5 s were allowed");
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(2500) - (Clock::now() - start));
  if (itemExists(survivor)) {
    return failed("a process the command started outlived SIGKILL to its process group");
  }
  return passed("stopped after " + std::to_string(took).substr(0, 4) + " s");
}

Outcome leftoverWriter() {
  const Clock::time_point start = Clock::now();
  Result<ChildOutcome> child =
      runMerged("/bin/bash", {"/bin/bash", "-c", "sleep 60 & echo started"}, currentEnvironment(), kHalfSecond);
  const double took = secondsSince(start);
  if (!child) {
    return failed(child.error().description);
  }
  if (child->ending != Ending::Exited || child->status != 0 || child->output != "started\n") {
    return failed("the command's own ending and output were not kept (status " + std::to_string(child->status) +
                  ", output \"" + child->output + "\")");
  }
  if (took > 3.0) {
    return failed("held the caller " + std::to_string(took) + " s, where a grace of 0.5 s was allowed");
  }
  return passed();
}

}  // namespace

std::vector<CheckLine> commandChecks(const Workspace& workspace) {
  return {{"a stalled command and its group are stopped", stalledCommand(workspace / "survivor")},
          {"a leftover writer does not hold the caller", leftoverWriter()}};
}

}  // namespace installer::selftest
