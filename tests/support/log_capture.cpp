#include "support/log_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <stdexcept>

#include "support/files.h"

namespace testing_support {

std::vector<std::string> splitLogRecords(const std::string& log) {
  static const std::regex prefix(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} [^\n\[ ]+\[\d+:\d+\] )");
  std::vector<std::string> messages;
  size_t messageStart = std::string::npos;
  for (size_t lineStart = 0; lineStart < log.size();) {
    // A record starts with a line that starts with the prefix.
    std::smatch match;
    if (std::regex_search(log.begin() + lineStart, log.end(), match, prefix, std::regex_constants::match_continuous)) {
      if (messageStart != std::string::npos) {
        messages.push_back(log.substr(messageStart, lineStart - 1 - messageStart));
      }
      messageStart = lineStart + match.length(0);
    }
    size_t lineEnd = log.find('\n', lineStart);
    lineStart = lineEnd == std::string::npos ? log.size() : lineEnd + 1;
  }
  if (messageStart != std::string::npos) {
    std::string last = log.substr(messageStart);
    if (last.ends_with('\n')) {
      last.pop_back();
    }
    messages.push_back(last);
  }
  return messages;
}

std::vector<std::string> capturedLog(const std::function<void()>& body) {
  char pattern[] = "/tmp/ii-log.XXXXXX";
  int fd = ::mkstemp(pattern);
  if (fd < 0) {
    throw std::runtime_error("mkstemp failed");
  }
  // Standard error goes back even when `body` throws.
  struct Restore {
    int saved = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    ~Restore() {
      ::dup2(saved, STDERR_FILENO);
      ::close(saved);
    }
  };
  {
    Restore restore;
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
    body();
  }
  std::string text = readFile(pattern);
  ::unlink(pattern);
  return splitLogRecords(text);
}

bool logHas(const std::vector<std::string>& log, const std::string& message) {
  return std::find(log.begin(), log.end(), message) != log.end();
}

}  // namespace testing_support
