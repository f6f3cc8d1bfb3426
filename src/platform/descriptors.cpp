#include "platform/descriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "platform/fd.h"
#include "platform/folder.h"

namespace installer {

namespace {

// The descriptors open, as /dev/fd lists them (the one that lists it included); nothing
// where it cannot be read: a chroot or container whose /dev lacks it.
std::optional<size_t> listedOpen() {
  FolderStream stream(::opendir("/dev/fd"));
  if (stream.get() == nullptr) {
    return std::nullopt;
  }
  size_t open = 0;
  (void)forEachEntry(stream.get(), "/dev/fd", [&](const dirent&) -> Result<void> {
    ++open;
    return {};
  });
  return open;
}

// The numbers below `most` that no descriptor holds, each asked after in turn.
size_t probedFree(rlim_t most) {
  size_t free = 0;
  for (rlim_t fd = 0; fd < most; ++fd) {
    free += ::fcntl(static_cast<int>(fd), F_GETFD) == -1 && errno == EBADF ? 1 : 0;
  }
  return free;
}

}  // namespace

size_t freeDescriptors() {
  constexpr rlim_t kMostCounted = 1 << 20;
  constexpr rlim_t kMostProbed = 1 << 16;
  rlimit limit{};
  rlim_t most = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? std::min(limit.rlim_cur, kMostCounted) : 256;
  // Both systems list a process's open descriptors in /dev/fd.
  if (std::optional<size_t> open = listedOpen()) {
    return *open >= most ? 0 : static_cast<size_t>(most) - *open;
  }
  return probedFree(std::min(most, kMostProbed));
}

void makeRoomForDescriptors(int anyOpen, size_t more) {
  rlimit limit{};
  std::optional<size_t> open = listedOpen();
  if (!open || ::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == 0) {
    return;
  }
  // A copy at the number the table must reach grows it there, and the table stays
  // grown once the copy is closed.
  const rlim_t highest = std::min<rlim_t>(*open + more, limit.rlim_cur) - 1;
  UniqueFd(::fcntl(anyOpen, F_DUPFD_CLOEXEC, static_cast<int>(std::min<rlim_t>(highest, 1 << 20))));
}

}  // namespace installer
