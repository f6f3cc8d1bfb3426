#include "platform/log.h"

#include <ctime>
#include <string>
#include <unistd.h>

#include "platform/io.h"
#include "platform/self.h"

namespace installer {

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
  // Nowhere is left to report a log that cannot be written.
  (void)writeAll(STDERR_FILENO, record, "standard error");
  systemLogSend(message);
}

}  // namespace installer
