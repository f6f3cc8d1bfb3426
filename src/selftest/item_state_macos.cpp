// macOS: extended attributes from libSystem (declared in xattr_macos.h), resource
// forks as the attribute com.apple.ResourceFork, and the UF_HIDDEN file flag.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/xattr_macos.h"
#include "selftest/item_state.h"

namespace installer::selftest {

Result<void> setAttribute(const std::string& path, const std::string& name, std::string_view value) {
  if (::setxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0, kAttributeNoFollow) != 0) {
    return systemError(errno, "setting the attribute " + name + " of", path);
  }
  return {};
}

Result<void> setAttribute(int file, const std::string& name, std::string_view value, std::string_view shownPath) {
  if (::fsetxattr(file, name.c_str(), value.data(), value.size(), 0, 0) != 0) {
    return systemError(errno, "setting the attribute " + name + " of", shownPath);
  }
  return {};
}

Result<std::vector<std::string>> attributeNames(const std::string& path) {
  for (;;) {
    ssize_t needed = ::listxattr(path.c_str(), nullptr, 0, kAttributeNoFollow);
    if (needed < 0) {
      return systemError(errno, "listing the attributes of", path);
    }
    std::string names(static_cast<size_t>(needed), '\0');
    ssize_t listed = ::listxattr(path.c_str(), names.data(), names.size(), kAttributeNoFollow);
    if (listed < 0 && errno == ERANGE) {
      continue;  // an attribute came meanwhile
    }
    if (listed < 0) {
      return systemError(errno, "listing the attributes of", path);
    }
    std::vector<std::string> all;
    for (size_t start = 0; start < static_cast<size_t>(listed);) {
      all.emplace_back(names.c_str() + start);
      start += all.back().size() + 1;
    }
    return all;
  }
}

Result<std::optional<std::string>> attributeValue(const std::string& path, const std::string& name) {
  for (;;) {
    ssize_t needed = ::getxattr(path.c_str(), name.c_str(), nullptr, 0, 0, kAttributeNoFollow);
    if (needed < 0 && errno == ENOATTR) {
      return std::optional<std::string>();
    }
    if (needed < 0) {
      return systemError(errno, "reading the attribute " + name + " of", path);
    }
    std::string value(static_cast<size_t>(needed), '\0');
    ssize_t length = ::getxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0, kAttributeNoFollow);
    if (length < 0 && errno == ERANGE) {
      continue;
    }
    if (length < 0) {
      return systemError(errno, "reading the attribute " + name + " of", path);
    }
    value.resize(static_cast<size_t>(length));
    return std::optional<std::string>(std::move(value));
  }
}

bool attributesUnsupported(const Error& error) { return error.code == ENOTSUP; }

std::optional<std::string> resourceForkAttribute() { return "com.apple.ResourceFork"; }

std::optional<std::string> hiddenFlagAttribute() { return std::nullopt; }

Result<void> setHiddenFlag(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 ||
      ::lchflags(path.c_str(), status.st_flags | static_cast<unsigned>(UF_HIDDEN)) != 0) {
    return systemError(errno, "hiding", path);
  }
  return {};
}

Result<bool> hiddenFlagSet(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    return systemError(errno, "reading the flags of", path);
  }
  return (status.st_flags & UF_HIDDEN) != 0;
}

timespec accessTimeOf(const struct stat& status) { return status.st_atimespec; }
timespec modificationTimeOf(const struct stat& status) { return status.st_mtimespec; }

}  // namespace installer::selftest
