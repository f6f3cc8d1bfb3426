#include "platform/log.h"

#include <cerrno>
#include <ctime>
#include <string>
#include <unistd.h>

#include "platform/self.h"

namespace installer {

namespace {

void writeAll(int fd, const std::string& bytes) {
  const char* data = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;  // Nowhere left to report a failing log.
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
}

}  // namespace

std::string logRecordPrefix() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char stamp[64];
  size_t length = strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::string prefix(stamp, length);
  char millis[24];
  snprintf(millis, sizeof millis, ".%03ld ", now.tv_nsec / 1000000);
  prefix += millis;
  prefix += programName();
  prefix += '[';
  prefix += std::to_string(::getpid());
  prefix += ':';
  prefix += std::to_string(currentThreadId());
  prefix += "] ";
  return prefix;
}

void logMessage(std::string_view message) {
  std::string record = logRecordPrefix();
  record += message;
  record += '\n';
  writeAll(STDERR_FILENO, record);
  systemLogSend(message);
}

}  // namespace installer
