#include <libproc.h>
#include <sys/proc_info.h>

#include <algorithm>

#include "platform/processes.h"

namespace installer {

namespace {

// The ids of every process, as far as the system lists them.
std::vector<pid_t> allProcessIds() {
  std::vector<pid_t> ids;
  // Asked without a buffer, the system tells how many ids there are now; more may
  // start before the second call, so a list that fills the buffer is asked again.
  for (int attempt = 0; attempt < 4; ++attempt) {
    const int count = ::proc_listallpids(nullptr, 0);
    if (count <= 0) {
      return {};
    }
    ids.resize(static_cast<size_t>(count) + 64);
    const int listed = ::proc_listallpids(ids.data(), static_cast<int>(ids.size() * sizeof(pid_t)));
    if (listed <= 0) {
      return {};
    }
    const bool complete = static_cast<size_t>(listed) < ids.size();
    ids.resize(std::min(ids.size(), static_cast<size_t>(listed)));
    if (complete) {
      break;
    }
  }
  return ids;
}

}  // namespace

std::vector<pid_t> processesRunningFrom(const std::string& item) {
  const std::string resolved = resolvedItemPath(item);
  std::vector<pid_t> found;
  char path[PROC_PIDPATHINFO_MAXSIZE];
  for (pid_t pid : allProcessIds()) {
    // proc_pidpath fails for a process of another user unless run as root, and for
    // one that has ended meanwhile.
    const int length = pid > 0 ? ::proc_pidpath(pid, path, sizeof(path)) : 0;
    if (length > 0 && liesInside(std::string_view(path, static_cast<size_t>(length)), resolved,
                                 Firmlinks::dataVolume)) {
      found.push_back(pid);
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace installer
