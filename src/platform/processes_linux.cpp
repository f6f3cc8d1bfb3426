#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <optional>
#include <string>

#include "platform/fs.h"
#include "platform/processes.h"

namespace installer {

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
