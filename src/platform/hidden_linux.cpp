#include <sys/xattr.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/hidden.h"

namespace installer {

namespace {

constexpr const char* kHiddenAttribute = "user.hidden";

}  // namespace

HiddenFlag readHiddenFlag(const std::string& path) {
  // Two bytes are enough to tell "1" from everything else: a longer value gives
  // ERANGE, which is not "1" either.
  char value[2];
  ssize_t length = ::lgetxattr(path.c_str(), kHiddenAttribute, value, sizeof value);
  if (length >= 0) {
    return HiddenFlag{length == 1 && value[0] == '1', {}};
  }
  switch (errno) {
    case ENODATA:     // no attribute
    case ERANGE:      // a value longer than "1"
    case ENOTSUP:     // a file system without extended attributes
      return HiddenFlag{false, {}};
    default:
      return HiddenFlag{std::nullopt, describeError(errno, "reading the hidden flag of", path)};
  }
}

std::optional<std::string> clearHiddenFlag(const std::string& path) {
  if (::lremovexattr(path.c_str(), kHiddenAttribute) == 0 || errno == ENODATA) {
    return std::nullopt;
  }
  return describeError(errno, "clearing the hidden flag of", path);
}

}  // namespace installer
