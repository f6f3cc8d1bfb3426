#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "verbs.h"

namespace installer::standin {

void drainStandardInput() {
  // An answer piped in arrives at once; a writer silent this long is not answering.
  constexpr int kPatienceMilliseconds = 2000;
  if (::isatty(STDIN_FILENO) == 0) {
    char buffer[4096];
    for (;;) {
      pollfd waiting{STDIN_FILENO, POLLIN, 0};
      int ready = ::poll(&waiting, 1, kPatienceMilliseconds);
      if (ready < 0 && errno == EINTR) {
        continue;
      }
      if (ready <= 0 || (waiting.revents & (POLLIN | POLLHUP)) == 0) {
        break;
      }
      ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got <= 0) {
        break;
      }
    }
  }
  int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (nothing >= 0 && nothing != STDIN_FILENO) {
    ::dup2(nothing, STDIN_FILENO);
    ::close(nothing);
  }
}

}  // namespace installer::standin
