#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <optional>
#include <string>

#include "platform/processes.h"

namespace installer {

namespace {

// The target of the link at `path`, or nothing when it cannot be read.
std::optional<std::string> linkTarget(const std::string& path) {
  std::string buffer(PATH_MAX, '\0');
  for (;;) {
    ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
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

}  // namespace

std::vector<pid_t> processesRunningFrom(const std::string& item) {
  const std::string resolved = resolvedItemPath(item);
  std::vector<pid_t> found;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) {
    return found;
  }
  // A process's /proc/<pid>/exe names its executable; reading it takes the right to
  // trace the process, so others' processes are left out unless run as root.
  while (const struct dirent* entry = ::readdir(proc)) {
    const std::string_view name = entry->d_name;
    pid_t pid = 0;
    auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (error != std::errc() || end != name.data() + name.size() || pid <= 0) {
      continue;
    }
    std::optional<std::string> executable = linkTarget("/proc/" + std::string(name) + "/exe");
    if (executable && liesInside(*executable, resolved, Firmlinks::none)) {
      found.push_back(pid);
    }
  }
  ::closedir(proc);
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace installer
