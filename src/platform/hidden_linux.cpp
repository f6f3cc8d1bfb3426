#include <sys/xattr.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/hidden.h"

namespace installer {

namespace {

constexpr const char* kHiddenAttribute = "user.hidden";

}  // namespace

Result<bool> readHiddenFlag(const std::string& path) {
  // Two bytes are enough to tell "1" from everything else: a longer value gives
  // ERANGE, which is not "1" either.
  char value[2];
  ssize_t length = ::lgetxattr(path.c_str(), kHiddenAttribute, value, sizeof value);
  if (length >= 0) {
    return length == 1 && value[0] == '1';
  }
  switch (errno) {
    case ENODATA:     // no attribute
    case ERANGE:      // a value longer than "1"
    case ENOTSUP:     // a file system without extended attributes
      return false;
    default:
      return systemError(errno, "reading the hidden flag of", path);
  }
}

Result<void> clearHiddenFlag(const std::string& path) {
  if (::lremovexattr(path.c_str(), kHiddenAttribute) == 0 || errno == ENODATA) {
    return {};
  }
  return systemError(errno, "clearing the hidden flag of", path);
}

}  // namespace installer
