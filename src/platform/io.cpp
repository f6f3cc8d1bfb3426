#include "platform/io.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/error.h"

namespace installer {

Result<void> readToEnd(int fd, std::string& bytes, std::string_view shownPath, size_t maxBytes) {
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
      if (static_cast<size_t>(got) > maxBytes - std::min(maxBytes, bytes.size())) {
        return systemError(EFBIG, "reading", shownPath);
      }
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
      // A descriptor set non-blocking by whoever shares it (a log reader's pipe, say):
      // the rest waits until there is room, so that nothing is cut short.
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd writable{fd, POLLOUT, 0};
        if (::poll(&writable, 1, -1) < 0 && errno != EINTR) {
          return systemError(errno, "writing", shownPath);
        }
        continue;
      }
      return systemError(errno, "writing", shownPath);
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return {};
}

}  // namespace installer
