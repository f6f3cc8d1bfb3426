// macOS: the records read back with /usr/bin/log show.
#include <unistd.h>

#include <chrono>
#include <thread>

#include "selftest/log_checks.h"
#include "selftest/programs.h"

namespace installer::selftest {

namespace {

constexpr const char* kLog = "/usr/bin/log";
constexpr auto kPatience = std::chrono::seconds(20);

Result<void> show(const std::string& predicate, std::string& output) {
  return runProgram(kLog, {"log", "show", "--predicate", predicate, "--last", "5m"}, &output);
}

// Once a record reads whole among this process's records: whether it is there under
// the tool's subsystem too.
Outcome underTheSubsystem(const ExpectedRecord& record, std::chrono::steady_clock::duration after) {
  std::string output;
  const std::string predicate =
      "subsystem == \"image-installer\" AND eventMessage CONTAINS \"" + record.token + "\"";
  if (Result<void> shown = show(predicate, output); !shown) {
    return failed(shown.error().description);
  }
  if (output.find(record.shown) == std::string::npos) {
    return failed("the record is in the log, but not under the subsystem \"image-installer\"");
  }
  return passed("found after " + durationText(after));
}

}  // namespace

std::vector<Outcome> findInUnifiedLog(const std::vector<ExpectedRecord>& records) {
  // Every record of this process, whatever its subsystem: one the log cannot read
  // holds no token to search for.
  const std::string mine = "processIdentifier == " + std::to_string(::getpid());
  std::vector<std::optional<Outcome>> verdicts(records.size());
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    std::string output;
    if (Result<void> shown = show(mine, output); !shown) {
      Outcome refused = ::geteuid() != 0
                            ? skipped("log show refused (" + shown.error().description + "): run the self-test with sudo")
                            : failed(shown.error().description);
      return std::vector<Outcome>(records.size(), refused);
    }
    bool pending = false;
    for (size_t i = 0; i < records.size(); ++i) {
      if (!verdicts[i]) {
        verdicts[i] = readRecord(output, records[i]);
        if (verdicts[i] && verdicts[i]->verdict == Verdict::ok) {
          verdicts[i] = underTheSubsystem(records[i], std::chrono::steady_clock::now() - start);
        }
      }
      pending = pending || !verdicts[i];
    }
    if (!pending || std::chrono::steady_clock::now() - start > kPatience) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  std::vector<Outcome> outcomes;
  for (size_t i = 0; i < records.size(); ++i) {
    outcomes.push_back(verdicts[i].value_or(failed("no record with the token " + records[i].token +
                                                   " in the unified log after " + durationText(kPatience))));
  }
  return outcomes;
}

}  // namespace installer::selftest
