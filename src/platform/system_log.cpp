// syslog(3) on both systems: on macOS (10.12 and later) it feeds the unified log, where
// `log show --predicate 'process == "image-installer"'` finds the records.
#include <syslog.h>

#include <string>

#include "platform/log.h"

namespace installer {

void systemLogSend(std::string_view message) {
  // "%s" keeps a percent sign in the message from being read as a directive.
  // Without LOG_CONS, a message that no logger receives is dropped quietly.
  std::string text(message);
  syslog(LOG_USER | LOG_NOTICE, "%s", text.c_str());
}

}  // namespace installer
