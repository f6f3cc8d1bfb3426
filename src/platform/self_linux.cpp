#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/fs.h"
#include "platform/self.h"

namespace installer {

std::optional<std::string> executablePath() { return linkTarget("/proc/self/exe"); }

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
