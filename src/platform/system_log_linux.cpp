// Linux only: syslog(3).
#include <syslog.h>

#include <string>

#include "platform/system_log.h"

namespace installer {

void systemLogSend(std::string_view message) {
  // "%s" keeps a percent sign in the message from being read as a directive.
  // Without LOG_CONS, a message that no logger receives is dropped quietly.
  std::string text(message);
  syslog(LOG_USER | LOG_NOTICE, "%s", text.c_str());
}

}  // namespace installer
