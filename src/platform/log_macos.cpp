// macOS only: the unified system log.
#include <os/log.h>

#include <string>

#include "platform/log.h"

namespace installer {

void systemLogSend(std::string_view message) {
  std::string text(message);
  os_log(OS_LOG_DEFAULT, "%{public}s", text.c_str());
}

}  // namespace installer
