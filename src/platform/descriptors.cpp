#include "platform/descriptors.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>

#include "platform/folder.h"

namespace installer {

size_t freeDescriptors() {
  constexpr rlim_t kMostCounted = 1 << 20;
  rlimit limit{};
  rlim_t most = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? std::min(limit.rlim_cur, kMostCounted) : 256;
  // Both systems list a process's open descriptors in /dev/fd, the one that lists it
  // included.
  size_t open = 0;
  FolderStream stream(::opendir("/dev/fd"));
  if (stream.get() == nullptr) {
    return 0;
  }
  (void)forEachEntry(stream.get(), "/dev/fd", [&](const dirent&) -> Result<void> {
    ++open;
    return {};
  });
  return open >= most ? 0 : static_cast<size_t>(most) - open;
}

}  // namespace installer
