#include "platform/io.h"

#include <unistd.h>

#include <cerrno>

#include "platform/error.h"

namespace installer {

Result<void> readToEnd(int fd, std::string& bytes, std::string_view shownPath) {
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
      bytes.append(buffer, static_cast<size_t>(got));
    } else if (got == 0) {
      return {};
    } else if (errno != EINTR) {
      return systemError(errno, "reading", shownPath);
    }
  }
}

Result<void> writeAll(int fd, std::string_view bytes, std::string_view shownPath) {
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return systemError(errno, "writing", shownPath);
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return {};
}

}  // namespace installer
