// macOS: the record read back with /usr/bin/log show.
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

// The first line of `output` that holds `text`.
std::optional<std::string> lineWith(const std::string& output, const std::string& text) {
  size_t at = output.find(text);
  if (at == std::string::npos) {
    return std::nullopt;
  }
  size_t start = output.rfind('\n', at);
  start = start == std::string::npos ? 0 : start + 1;
  size_t end = output.find('\n', at);
  return output.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace

Outcome findInUnifiedLog(const std::string& message, const std::string& token) {
  const std::string predicate = "subsystem == \"image-installer\" AND eventMessage CONTAINS \"" + token + "\"";
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    std::string output;
    if (Result<void> shown = show(predicate, output); !shown) {
      if (::geteuid() != 0) {
        return skipped("log show refused (" + shown.error().description + "): run the self-test with sudo");
      }
      return failed(shown.error().description);
    }
    if (output.find(message) != std::string::npos) {
      return passed("found after " + durationText(std::chrono::steady_clock::now() - start));
    }
    if (std::optional<std::string> line = lineWith(output, token)) {
      return failed("the record is there but not whole: " + *line);
    }
    if (std::chrono::steady_clock::now() - start > kPatience) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  // Where did it go?  Everything this process logged, whatever its subsystem.
  std::string output;
  std::string mine = "processIdentifier == " + std::to_string(::getpid());
  if (show(mine, output)) {
    if (std::optional<std::string> line = lineWith(output, token)) {
      return failed("not under the subsystem \"image-installer\"; the record is in the log as: " + *line);
    }
    if (std::optional<std::string> line = lineWith(output, "<private>")) {
      return failed("the message is hidden as <private>: " + *line);
    }
  }
  return failed("no record with the token " + token + " in the unified log after " + durationText(kPatience));
}

}  // namespace installer::selftest
