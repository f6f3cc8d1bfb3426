#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/fd.h"
#include "support/item_state.h"

namespace testing_support {

timespec changeTimeOf(const struct stat& status) { return status.st_ctim; }

bool setImmutable(const std::string& path, bool immutable) {
  installer::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  int flags = 0;
  if (!fd || ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) {
    return false;
  }
  flags = immutable ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
  return ::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0;
}

bool makeCharacterDevice(const std::string& path) {
  return ::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
}

}  // namespace testing_support
