#include "volume_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/error.h"
#include "platform/fs.h"
#include "platform/removal.h"

namespace installer::standin {

namespace fs = std::filesystem;

namespace {

// Calls `visit(path, lstat)` for `root` and everything below it, a folder before its
// contents; never follows a symbolic link.
template <typename Visit>
void walkTree(const std::string& root, Visit&& visit) {
  struct stat status {};
  if (::lstat(root.c_str(), &status) != 0) {
    return;
  }
  visit(root, status);
  if (!S_ISDIR(status.st_mode)) {
    return;
  }
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
    std::string path = it->path().string();
    if (::lstat(path.c_str(), &status) == 0) {
      visit(path, status);
    }
  }
}

// Undoes the octal escapes /proc/self/mountinfo uses for blanks, tabs, line feeds and
// backslashes in paths.
std::string unescapeMountPath(const std::string& field) {
  std::string path;
  for (size_t at = 0; at < field.size(); ++at) {
    if (field[at] == '\\' && at + 3 < field.size()) {
      path += static_cast<char>(std::stoi(field.substr(at + 1, 3), nullptr, 8));
      at += 3;
    } else {
      path += field[at];
    }
  }
  return path;
}

}  // namespace

Result<void> tidyExtractedVolume(const std::string& root, const std::string& extractionFolder,
                                 const std::vector<std::string>& hidden) {
  for (const auto& name : hidden) {
    std::string path = root + "/" + name;
    if (itemExists(path)) {
      makeFoldersRemovable(path);
      if (Result<void> removed = removeItem(path); !removed) {
        return removed;
      }
    }
  }

  std::string movedPrefix = extractionFolder + "/";
  Result<void> outcome;
  walkTree(root, [&](const std::string& path, const struct stat& status) {
    if (!S_ISLNK(status.st_mode) || !outcome) {
      return;
    }
    std::error_code error;
    std::string target = fs::read_symlink(path, error).string();
    if (error || !target.starts_with(movedPrefix)) {
      return;
    }
    std::string original = target.substr(extractionFolder.size());
    if (::unlink(path.c_str()) != 0 || ::symlink(original.c_str(), path.c_str()) != 0) {
      outcome = systemError(errno, "restoring the link", path);
      return;
    }
    const struct timespec times[2] = {status.st_atim, status.st_mtim};
    ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
  });
  return outcome;
}

void makeTreeReadOnly(const std::string& root) {
  walkTree(root, [](const std::string& path, const struct stat& status) {
    if (S_ISDIR(status.st_mode) || S_ISREG(status.st_mode)) {
      ::chmod(path.c_str(), status.st_mode & 07555);
    }
  });
}

void makeFoldersRemovable(const std::string& root) {
  walkTree(root, [](const std::string& path, const struct stat& status) {
    if (S_ISDIR(status.st_mode) && (status.st_mode & S_IRWXU) != S_IRWXU) {
      ::chmod(path.c_str(), (status.st_mode & 07777) | S_IRWXU);
    }
  });
}

std::vector<std::string> mountPointsWithin(const std::string& path) {
  std::vector<std::string> found;
  std::ifstream mountInfo("/proc/self/mountinfo");
  for (std::string line; std::getline(mountInfo, line);) {
    std::istringstream fields(line);
    std::string field;
    for (int index = 0; index < 5 && fields >> field; ++index) {
    }
    std::string mountPoint = unescapeMountPath(field);
    if (mountPoint == path || mountPoint.starts_with(path + "/")) {
      found.push_back(mountPoint);
    }
  }
  return found;
}

}  // namespace installer::standin
