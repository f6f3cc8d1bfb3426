#include "runner/runner.h"

#include <charconv>
#include <cstdint>

#include "platform/log.h"
#include "platform/process.h"
#include "platform/utf8.h"

namespace installer {

namespace {

// The status the shell itself gives a command it could not run.
constexpr int kCouldNotStart = 127;
// The status timeout(1) gives a command it stopped: never 0, whatever the command
// did when told to stop.
constexpr int kStoppedAfterTimeLimit = 124;

// Exited with N: N; killed by signal S: S; stopped after its time limit: 124.
int statusNumber(const ChildOutcome& child) {
  return child.ending == Ending::StoppedAfterTimeLimit ? kStoppedAfterTimeLimit : child.status;
}

bool isLocaleVariable(std::string_view variable) {
  std::string_view name = variable.substr(0, variable.find('='));
  return name == "LANG" || name == "LANGUAGE" || name.starts_with("LC_");
}

// The environment the command runs in: the tool's own, in the C locale.  bash reads a
// command line through its locale's character set, and in GB18030, GBK, Big5,
// Big5-HKSCS, Shift_JIS or EUC-TW a byte of a name can start a character that
// swallows the quote after it, which breaks the quoting around a path or lets part of
// it run as a command.  In the C locale every byte is a character of its own.
std::vector<std::string> commandEnvironment() {
  std::vector<std::string> environment;
  for (std::string& variable : currentEnvironment()) {
    if (!isLocaleVariable(variable)) {
      environment.push_back(std::move(variable));
    }
  }
  environment.push_back("LC_ALL=C");
  return environment;
}

}  // namespace

std::string describeDuration(std::chrono::milliseconds duration) {
  auto count = [](auto amount, const char* unit) {
    return std::to_string(amount) + " " + unit + (amount == 1 ? "" : "s");
  };
  const auto ms = duration.count();
  if (ms % 60000 == 0) {
    return count(ms / 60000, "minute");
  }
  return ms % 1000 == 0 ? count(ms / 1000, "second") : count(ms, "millisecond");
}

std::string GetOutput(const std::string& forExecution, const std::string& arguments, const TimeLimit& limit) {
  const std::string command = printable(forExecution) + " " + printable(arguments);
  logMessage("Given Command " + command);

  Result<ChildOutcome> child = runMerged(forExecution, {forExecution, "-c", arguments}, commandEnvironment(), limit);
  if (!child) {
    logMessage("Could not run the command: " + child.error().description);
    return std::to_string(kCouldNotStart);
  }
  if (child->ending == Ending::StoppedAfterTimeLimit) {
    logMessage("Command stopped after its time limit of " + describeDuration(limit.limit) + ": " + command);
  }

  std::string status = std::to_string(statusNumber(*child));
  logMessage("terminationStatus : " + status + " output : " + withInvalidUtf8Replaced(child->output));
  return status;
}

bool commandSucceeded(std::string_view statusText) {
  if (statusText.size() > 1 && statusText[0] == '+' && statusText[1] != '-') {
    statusText.remove_prefix(1);  // An explicit plus sign is still a signed integer.
  }
  std::int32_t value = 0;
  const char* begin = statusText.data();
  const char* end = begin + statusText.size();
  // from_chars takes a leading minus but no plus, blanks or base prefix: exactly a
  // signed base-10 integer.
  auto [stop, error] = std::from_chars(begin, end, value);
  return !statusText.empty() && error == std::errc() && stop == end && value == 0;
}

}  // namespace installer
