#pragma once

#include <string_view>

namespace installer {

// Sends one finished message to the system's log as a single record, as literal text
// (nothing in it is read as a format directive).  Linux: syslog(3), facility user,
// level notice.  macOS: the unified log through os_log, subsystem "image-installer",
// category "install", default level, the message public.  Where nothing receives it
// the message is dropped quietly.
void systemLogSend(std::string_view message);

}  // namespace installer
