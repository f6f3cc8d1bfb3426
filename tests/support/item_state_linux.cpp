#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/fd.h"
#include "support/item_state.h"
#include "support/tree_snapshot.h"

namespace testing_support {

std::vector<std::string> keptAttributeNames(const std::string& path) {
  char names[4096];
  ssize_t listed = ::llistxattr(path.c_str(), names, sizeof names);
  std::vector<std::string> found;
  for (ssize_t at = 0; at < listed; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
    std::string name = names + at;
    if (name.starts_with("user.")) {
      found.push_back(name);
    }
  }
  return found;
}

std::string attributeOf(const std::string& path, const std::string& name) {
  char value[4096];
  ssize_t length = ::lgetxattr(path.c_str(), name.c_str(), value, sizeof value);
  return length < 0 ? "<none>" : std::string(value, static_cast<size_t>(length));
}

void setAttribute(const std::string& path, const std::string& name, const std::string& value) {
  if (::lsetxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) != 0) {
    throw std::runtime_error("setting " + name + " on " + path + ": " + std::strerror(errno));
  }
}

timespec accessTimeOf(const struct stat& status) { return status.st_atim; }
timespec modificationTimeOf(const struct stat& status) { return status.st_mtim; }
timespec changeTimeOf(const struct stat& status) { return status.st_ctim; }

const bool kHiddenFlagIsAnAttribute = true;

void hideItem(const std::string& path) { setAttribute(path, "user.hidden", "1"); }

bool itemHidden(const std::string& path) { return attributeOf(path, "user.hidden") == "1"; }

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
