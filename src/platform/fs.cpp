#include "platform/fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/fd.h"
#include "platform/folder.h"
#include "platform/io.h"

namespace installer {

namespace {

// Removes everything inside the open folder `folder`; `shownPath` names it in errors.
Result<void> removeContents(int folder, const std::string& shownPath) {
  int listingFd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listingFd < 0) {
    return systemError(errno, "opening", shownPath);
  }
  FolderStream stream(::fdopendir(listingFd));
  if (stream.get() == nullptr) {
    int error = errno;
    ::close(listingFd);
    return systemError(error, "listing", shownPath);
  }
  return forEachEntry(stream.get(), shownPath, [&](const dirent& entry) -> Result<void> {
    const char* name = entry.d_name;
    std::string childPath = shownPath + "/" + name;
    if (::unlinkat(folder, name, 0) == 0) {
      return {};
    }
    int unlinkError = errno;
    struct stat status {};
    if (::fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(status.st_mode)) {
      return systemError(unlinkError, "removing", childPath);
    }
    // A folder: empty it first.  O_NOFOLLOW keeps a link swapped in meanwhile from
    // leading the removal elsewhere.
    UniqueFd child(::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!child) {
      return systemError(errno, "opening", childPath);
    }
    if (Result<void> emptied = removeContents(child.get(), childPath); !emptied) {
      return emptied;
    }
    if (::unlinkat(folder, name, AT_REMOVEDIR) != 0) {
      return systemError(errno, "removing", childPath);
    }
    return {};
  });
}

}  // namespace

bool itemExists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

Result<std::string> readWholeFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    return systemError(errno, "opening", path);
  }
  std::string bytes;
  if (Result<void> read = readToEnd(fd.get(), bytes, path); !read) {
    return read.error();
  }
  return bytes;
}

Result<std::vector<std::string>> listFolder(const std::string& path) {
  FolderStream stream(::opendir(path.c_str()));
  if (stream.get() == nullptr) {
    return systemError(errno, "listing", path);
  }
  std::vector<std::string> names;
  Result<void> listed = forEachEntry(stream.get(), path, [&](const dirent& entry) -> Result<void> {
    names.emplace_back(entry.d_name);
    return {};
  });
  if (!listed) {
    return listed.error();
  }
  return names;
}

Result<void> removeItem(const std::string& path) {
  if (::unlink(path.c_str()) == 0) {
    return {};
  }
  int unlinkError = errno;
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    return systemError(unlinkError, "removing", path);
  }
  UniqueFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder) {
    return systemError(errno, "opening", path);
  }
  if (Result<void> emptied = removeContents(folder.get(), path); !emptied) {
    return emptied;
  }
  if (::rmdir(path.c_str()) != 0) {
    return systemError(errno, "removing", path);
  }
  return {};
}

std::string appendingPathComponent(const std::string& base, const std::string& component) {
  if (base.ends_with('/')) {
    return base + component;
  }
  return base + "/" + component;
}

}  // namespace installer
