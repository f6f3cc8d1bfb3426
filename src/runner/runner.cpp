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

}  // namespace

std::string GetOutput(const std::string& forExecution, const std::string& arguments) {
  logMessage("Given Command " + forExecution + " " + arguments);

  Result<ChildOutcome> child = runMerged(forExecution, {forExecution, "-c", arguments});
  if (!child) {
    logMessage("Could not run the command: " + child.error().description);
    return std::to_string(kCouldNotStart);
  }

  std::string status = std::to_string(child->status);
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
