#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "support/item_state.h"

namespace testing_support {

timespec changeTimeOf(const struct stat& status) { return status.st_ctimespec; }

bool setImmutable(const std::string& path, bool immutable) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    return false;
  }
  return ::lchflags(path.c_str(), immutable ? status.st_flags | UF_IMMUTABLE : status.st_flags & ~UF_IMMUTABLE) == 0;
}

bool makeCharacterDevice(const std::string& path) {
  return ::mknod(path.c_str(), S_IFCHR | 0666, makedev(3, 2)) == 0;
}

}  // namespace testing_support
