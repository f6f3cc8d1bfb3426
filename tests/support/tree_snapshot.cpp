#include "support/tree_snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "support/files.h"
#include "selftest/tree_compare.h"
#include "support/item_state.h"

namespace testing_support {

namespace {

std::string attributesOf(const std::string& path) {
  std::vector<std::string> found;
  for (const auto& name : keptAttributeNames(path)) {
    found.push_back(name + "=" + attributeOf(path, name));
  }
  std::sort(found.begin(), found.end());
  std::string text;
  for (const auto& item : found) {
    text += " " + item;
  }
  return text;
}

std::string describe(const std::string& root, const std::string& path, SnapshotModes modes) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    throw std::runtime_error("lstat " + path);
  }
  if (modes == SnapshotModes::asCopied && !S_ISLNK(status.st_mode)) {
    status.st_mode = (status.st_mode & S_IFMT) | installer::selftest::keptMode(status, ::geteuid() == 0);
  }
  timespec modified = modificationTimeOf(status);
  char line[160];
  std::snprintf(line, sizeof line, " %o %u:%u %lld.%09ld", static_cast<unsigned>(status.st_mode), status.st_uid,
                status.st_gid, static_cast<long long>(modified.tv_sec), modified.tv_nsec);
  // Appended rather than "." + path.substr(...), which GCC 12 at -O2 and above takes
  // for an overlapping copy (a false -Wrestrict).
  std::string text = ".";
  text.append(path, root.size());
  text.append(line);
  if (S_ISLNK(status.st_mode)) {
    text.append(" -> ").append(std::filesystem::read_symlink(path).string());
  } else if (S_ISREG(status.st_mode)) {
    text.append(" [").append(readFile(path)).append("]");
  }
  return text + attributesOf(path);
}

}  // namespace

std::vector<std::string> snapshotTree(const std::string& root, SnapshotModes modes) {
  std::vector<std::string> lines{describe(root, root, modes)};
  if (std::filesystem::is_directory(std::filesystem::symlink_status(root))) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
      lines.push_back(describe(root, entry.path().string(), modes));
    }
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::vector<std::string> namesIn(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void setTimes(const std::string& path, long long accessSeconds, long accessNanos, long long modifySeconds,
              long modifyNanos) {
  const timespec times[2] = {{static_cast<time_t>(accessSeconds), accessNanos},
                             {static_cast<time_t>(modifySeconds), modifyNanos}};
  if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    throw std::runtime_error("setting times of " + path + ": " + std::strerror(errno));
  }
}

}  // namespace testing_support
