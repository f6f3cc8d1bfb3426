// macOS only: the extended attribute calls (declared in xattr_macos.h).
#include <sys/types.h>

#include <cerrno>
#include <cstdint>

#include "platform/attributes.h"
#include "platform/error.h"
#include "platform/xattr_macos.h"

namespace installer {

namespace {

// ENOATTR in <sys/errno.h> on macOS: the item has no such attribute.
constexpr int kNoAttribute = 93;

}  // namespace

std::string toolAttribute(std::string_view name) { return "image-installer." + std::string(name); }

Result<void> setAttribute(int item, const std::string& attribute, std::string_view value) {
  if (::fsetxattr(item, attribute.c_str(), value.data(), value.size(), 0, 0) != 0) {
    return systemError(errno, "setting the attribute", attribute);
  }
  return {};
}

std::optional<std::string> attributeValue(int item, const std::string& attribute) {
  char value[512];
  ssize_t length = ::fgetxattr(item, attribute.c_str(), value, sizeof value, 0, 0);
  if (length < 0) {
    return std::nullopt;
  }
  return std::string(value, static_cast<size_t>(length));
}

Result<void> removeAttribute(int item, const std::string& attribute) {
  if (::fremovexattr(item, attribute.c_str(), 0) != 0 && errno != kNoAttribute) {
    return systemError(errno, "removing the attribute", attribute);
  }
  return {};
}

}  // namespace installer
