#include "platform/log.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "platform/io.h"
#include "platform/self.h"
#include "platform/system_log.h"
#include "platform/system_log_text.h"

namespace installer {

void appendPrintable(std::string& text, char c) {
  auto byte = static_cast<unsigned char>(c);
  switch (c) {
    case '\n': text += "\\n"; break;
    case '\t': text += "\\t"; break;
    case '\r': text += "\\r"; break;
    case '\0': text += "\\0"; break;
    default:
      if (byte < 0x20 || byte == 0x7F) {
        char escaped[16];
        std::snprintf(escaped, sizeof escaped, "\\u{%X}", byte);
        text += escaped;
      } else {
        text += c;
      }
  }
}

std::string printable(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (char c : text) {
    appendPrintable(shown, c);
  }
  return shown;
}

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
  systemLogSend(systemLogText(message));
}

}  // namespace installer
