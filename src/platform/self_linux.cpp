#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "platform/self.h"

namespace installer {

std::optional<std::string> executablePath() {
  std::string buffer(PATH_MAX, '\0');
  for (;;) {
    ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) {
      return std::nullopt;
    }
    if (static_cast<size_t>(length) < buffer.size()) {
      buffer.resize(static_cast<size_t>(length));
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::optional<std::string> mainBundleLocation() {
  // Linux has no bundles: the executable's own folder plays the part.
  auto path = executablePath();
  if (!path) {
    return std::nullopt;
  }
  auto slash = path->rfind('/');
  return slash == 0 ? std::string("/") : path->substr(0, slash);
}

std::string programName() { return program_invocation_short_name; }

std::uint64_t currentThreadId() { return static_cast<std::uint64_t>(::gettid()); }

}  // namespace installer
