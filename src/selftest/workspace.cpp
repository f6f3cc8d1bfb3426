#include "selftest/workspace.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <vector>

#include "platform/error.h"

namespace installer::selftest {

namespace {

constexpr const char* kApplications = "/Applications";

std::optional<std::string> realPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) {
    return std::nullopt;
  }
  return std::string(resolved);
}

// The candidates that exist, resolved, each once, in order.
std::vector<std::string> candidateFolders() {
  std::vector<std::string> names;
  if (const char* temporary = std::getenv("TMPDIR"); temporary != nullptr && *temporary != '\0') {
    names.emplace_back(temporary);
  }
  for (const char* name : {"/private/tmp", "/Users/Shared", "/var/tmp", "/tmp"}) {
    names.emplace_back(name);
  }
  std::vector<std::string> folders;
  for (const std::string& name : names) {
    std::optional<std::string> resolved = realPath(name);
    struct stat status {};
    if (!resolved || ::stat(resolved->c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
      continue;
    }
    bool seen = false;
    for (const std::string& folder : folders) {
      seen = seen || folder == *resolved;
    }
    if (!seen) {
      folders.push_back(*resolved);
    }
  }
  return folders;
}

bool inside(const std::string& path, const std::string& folder) {
  return path == folder || path.starts_with(folder + "/");
}

// A fresh folder of our own (mode 0700) in `parent`.
std::optional<std::string> freshFolderIn(const std::string& parent) {
  std::string pattern = (parent == "/" ? "" : parent) + "/image-installer-selftest.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    return std::nullopt;
  }
  return pattern;
}

}  // namespace

Result<Workspace> makeWorkspace() {
  std::vector<std::string> candidates = candidateFolders();
  struct stat applications {};
  std::optional<std::string> applicationsPath = realPath(kApplications);
  bool hasApplications = applicationsPath && ::stat(applicationsPath->c_str(), &applications) == 0;

  if (hasApplications) {
    for (const std::string& candidate : candidates) {
      struct stat status {};
      if (inside(candidate, *applicationsPath) || ::stat(candidate.c_str(), &status) != 0 ||
          status.st_dev != applications.st_dev) {
        continue;
      }
      if (std::optional<std::string> folder = freshFolderIn(candidate)) {
        return Workspace{*folder, "on the volume of /Applications, in " + candidate, true};
      }
    }
  }
  if (!hasApplications) {
    // The system's temporary folder first.
    std::optional<std::string> temporary = realPath("/tmp");
    auto first = std::find(candidates.begin(), candidates.end(), temporary.value_or(""));
    if (first != candidates.end() && std::getenv("TMPDIR") == nullptr) {
      std::rotate(candidates.begin(), first, first + 1);
    }
  }
  for (const std::string& candidate : candidates) {
    if (hasApplications && inside(candidate, *applicationsPath)) {
      continue;
    }
    if (std::optional<std::string> folder = freshFolderIn(candidate)) {
      std::string placement = hasApplications
                                  ? "NOT on the volume of /Applications: no temporary folder there lets this user "
                                    "create one; in " + candidate
                                  : "no /Applications on this system: in the temporary folder " + candidate;
      return Workspace{*folder, placement, false};
    }
  }
  return failure("No temporary folder lets this user create a folder", "looking in",
                 "$TMPDIR, /private/tmp, /Users/Shared, /var/tmp and /tmp");
}

Result<std::string> makeFolder(const Workspace& workspace, const std::string& name) {
  std::string path = workspace / name;
  if (::mkdir(path.c_str(), 0755) != 0) {
    return systemError(errno, "creating", path);
  }
  return path;
}

}  // namespace installer::selftest
