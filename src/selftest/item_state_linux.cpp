// Linux: extended attributes through <sys/xattr.h>; the hidden flag is the attribute
// user.hidden, as the tool reads it.
#include <sys/xattr.h>

#include <cerrno>

#include "platform/error.h"
#include "selftest/item_state.h"

namespace installer::selftest {

namespace {

constexpr const char* kHiddenAttribute = "user.hidden";

}  // namespace

Result<void> setAttribute(const std::string& path, const std::string& name, std::string_view value) {
  if (::lsetxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) != 0) {
    return systemError(errno, "setting the attribute " + name + " of", path);
  }
  return {};
}

Result<void> setAttribute(int file, const std::string& name, std::string_view value, std::string_view shownPath) {
  if (::fsetxattr(file, name.c_str(), value.data(), value.size(), 0) != 0) {
    return systemError(errno, "setting the attribute " + name + " of", shownPath);
  }
  return {};
}

Result<std::vector<std::string>> attributeNames(const std::string& path) {
  for (;;) {
    ssize_t needed = ::llistxattr(path.c_str(), nullptr, 0);
    if (needed < 0) {
      return systemError(errno, "listing the attributes of", path);
    }
    std::string names(static_cast<size_t>(needed), '\0');
    ssize_t listed = ::llistxattr(path.c_str(), names.data(), names.size());
    if (listed < 0 && errno == ERANGE) {
      continue;  // an attribute came meanwhile
    }
    if (listed < 0) {
      return systemError(errno, "listing the attributes of", path);
    }
    std::vector<std::string> kept;
    for (size_t start = 0; start < static_cast<size_t>(listed);) {
      std::string name(names.c_str() + start);
      start += name.size() + 1;
      if (name.starts_with("user.")) {
        kept.push_back(std::move(name));
      }
    }
    return kept;
  }
}

Result<std::optional<std::string>> attributeValue(const std::string& path, const std::string& name) {
  for (;;) {
    ssize_t needed = ::lgetxattr(path.c_str(), name.c_str(), nullptr, 0);
    if (needed < 0 && errno == ENODATA) {
      return std::optional<std::string>();
    }
    if (needed < 0) {
      return systemError(errno, "reading the attribute " + name + " of", path);
    }
    std::string value(static_cast<size_t>(needed), '\0');
    ssize_t length = ::lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
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

std::optional<std::string> resourceForkAttribute() { return std::nullopt; }

std::optional<std::string> hiddenFlagAttribute() { return kHiddenAttribute; }

Result<void> setHiddenFlag(const std::string& path) { return setAttribute(path, kHiddenAttribute, "1"); }

Result<bool> hiddenFlagSet(const std::string& path) {
  Result<std::optional<std::string>> value = attributeValue(path, kHiddenAttribute);
  if (!value) {
    if (attributesUnsupported(value.error())) {
      return false;
    }
    return value.error();
  }
  return *value == std::optional<std::string>("1");
}

timespec accessTimeOf(const struct stat& status) { return status.st_atim; }
timespec modificationTimeOf(const struct stat& status) { return status.st_mtim; }

}  // namespace installer::selftest
