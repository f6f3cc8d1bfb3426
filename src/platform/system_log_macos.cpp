// macOS only: the unified log through os_log.
//
// syslog(3) reaches the unified log too, but since macOS 26 the log shows the text it
// passes as <private>.  os_log lets the message be marked public.
#include <cstdint>
#include <string>

#include "platform/system_log.h"

// The macOS SDK that comes with the cross build's compiler (zig) has no <os/log.h>.
// What Apple's os_log macro expands to needs only the pieces declared here, as that
// header declares them, all in libSystem since macOS 10.12 (libsystem_trace); clang
// itself lays out the argument buffer (__builtin_os_log_format_buffer_size,
// __builtin_os_log_format).
struct mach_header;
extern "C" {
struct os_log_s;
using os_log_t = os_log_s*;
using os_log_type_t = std::uint8_t;
os_log_t os_log_create(const char* subsystem, const char* category);
bool os_log_type_enabled(os_log_t log, os_log_type_t type);
void _os_log_impl(void* dso, os_log_t log, os_log_type_t type, const char* format, std::uint8_t* buffer,
                  std::uint32_t size);
// The linker's name for this image's own Mach-O header.
extern struct mach_header __dso_handle;
}

namespace installer {

namespace {

constexpr os_log_type_t kDefaultLevel = 0;  // OS_LOG_TYPE_DEFAULT

// The log does not copy a record's format: _os_log_impl stores the format's offset
// from `dso` (the image's header) with the image's UUID (LC_UUID), and `log show`
// later reads the string at that offset from the copy of the image's __TEXT strings
// that logd keeps (/var/db/uuidtext).  So the format is a string literal, passed as
// it is: clang puts it in __TEXT,__cstring (cstring_literals), where every lld-linked
// program using Apple's macros and Swift's os_log keep theirs, and zig's linker keeps
// it there.  A named array with the same text could land in __TEXT,__const instead,
// whose strings the log does not show.  scripts/build-macos checks where it lies.
// The clang builtins want the literal itself too, so it is spelled once here.
#define IMAGE_INSTALLER_PUBLIC_TEXT "%{public}s"

}  // namespace

void systemLogSend(std::string_view message) {
  // Made once, on the first record; os_log_create does not fail (where logging is
  // off it hands back a log that records nothing).
  static const os_log_t log = os_log_create("image-installer", "install");
  if (!os_log_type_enabled(log, kDefaultLevel)) {
    return;
  }
  std::string text(message);
  const char* argument = text.c_str();
  constexpr std::uint32_t size = __builtin_os_log_format_buffer_size(IMAGE_INSTALLER_PUBLIC_TEXT, argument);
  alignas(16) std::uint8_t buffer[size];
  __builtin_os_log_format(buffer, IMAGE_INSTALLER_PUBLIC_TEXT, argument);
  _os_log_impl(&__dso_handle, log, kDefaultLevel, IMAGE_INSTALLER_PUBLIC_TEXT, buffer, size);
}

}  // namespace installer
