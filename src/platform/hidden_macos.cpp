// macOS only: the UF_HIDDEN file flag, which Finder and NSURLIsHiddenKey read.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/hidden.h"

namespace installer {

Result<bool> readHiddenFlag(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    return systemError(errno, "reading the hidden flag of", path);
  }
  return (status.st_flags & UF_HIDDEN) != 0;
}

Result<void> clearHiddenFlag(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 ||
      ::lchflags(path.c_str(), status.st_flags & ~static_cast<unsigned>(UF_HIDDEN)) != 0) {
    return systemError(errno, "clearing the hidden flag of", path);
  }
  return {};
}

}  // namespace installer
