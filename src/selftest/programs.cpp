#include "selftest/programs.h"

#include <unistd.h>

#include <cstdlib>
#include <random>

#include "platform/error.h"
#include "platform/process.h"
#include "platform/self.h"

namespace installer::selftest {

namespace {

// The last lines of a program's output are what says why it failed.
std::string tail(const std::string& output, size_t most = 600) {
  std::string shown = output.size() > most ? "..." + output.substr(output.size() - most) : output;
  while (!shown.empty() && (shown.back() == '\n' || shown.back() == ' ')) {
    shown.pop_back();
  }
  return shown;
}

}  // namespace

std::optional<std::string> findOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= folders.size()) {
    size_t end = folders.find(':', start);
    end = end == std::string::npos ? folders.size() : end;
    std::string folder = folders.substr(start, end - start);
    std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return std::nullopt;
}

Result<void> runProgram(const std::string& program, const std::vector<std::string>& arguments,
                        std::string* output) {
  // The benchmark's copies of large trees included; a program that hangs still ends.
  const TimeLimit limit{std::chrono::minutes(30), std::chrono::seconds(5)};
  Result<ChildOutcome> outcome = runMerged(program, arguments, currentEnvironment(), limit);
  if (!outcome) {
    return outcome.error();
  }
  if (output != nullptr) {
    *output = outcome->output;
  }
  if (outcome->ending == Ending::StoppedAfterTimeLimit) {
    return failure("stopped after 30 minutes: " + tail(outcome->output), "running", program);
  }
  if (outcome->ending == Ending::KilledBySignal) {
    return failure("killed by signal " + std::to_string(outcome->status) + ": " + tail(outcome->output), "running",
                   program);
  }
  if (outcome->status != 0) {
    return failure("status " + std::to_string(outcome->status) + ": " + tail(outcome->output), "running", program);
  }
  return {};
}

std::optional<std::string> executableFolder() {
  std::optional<std::string> path = executablePath();
  if (!path) {
    return std::nullopt;
  }
  size_t slash = path->rfind('/');
  return slash == 0 ? std::string("/") : path->substr(0, slash);
}

std::string randomToken() {
  std::random_device device;
  std::uniform_int_distribution<int> digit(0, 15);
  std::string token;
  for (int i = 0; i < 16; ++i) {
    token += "0123456789abcdef"[digit(device)];
  }
  return token;
}

}  // namespace installer::selftest
