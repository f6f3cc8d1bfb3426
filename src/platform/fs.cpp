#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/error.h"
#include "platform/fd.h"
#include "platform/folder_stream.h"

namespace installer {

namespace {

bool isDotOrDotDot(const char* name) {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// Removes everything inside the open folder `folder`; `shownPath` names it in errors.
std::optional<std::string> removeContents(int folder, const std::string& shownPath) {
  int listingFd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listingFd < 0) {
    return describeError(errno, "opening", shownPath);
  }
  FolderStream stream(::fdopendir(listingFd));
  if (stream.get() == nullptr) {
    int error = errno;
    ::close(listingFd);
    return describeError(error, "listing", shownPath);
  }
  for (;;) {
    errno = 0;
    dirent* entry = ::readdir(stream.get());
    if (entry == nullptr) {
      if (errno != 0) {
        return describeError(errno, "listing", shownPath);
      }
      return std::nullopt;
    }
    if (isDotOrDotDot(entry->d_name)) {
      continue;
    }
    std::string childPath = shownPath + "/" + entry->d_name;
    if (::unlinkat(folder, entry->d_name, 0) == 0) {
      continue;
    }
    int unlinkError = errno;
    struct stat status {};
    if (::fstatat(folder, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(status.st_mode)) {
      return describeError(unlinkError, "removing", childPath);
    }
    // A folder: empty it first.  O_NOFOLLOW keeps a link swapped in meanwhile from
    // leading the removal elsewhere.
    UniqueFd child(::openat(folder, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!child) {
      return describeError(errno, "opening", childPath);
    }
    if (auto error = removeContents(child.get(), childPath)) {
      return error;
    }
    if (::unlinkat(folder, entry->d_name, AT_REMOVEDIR) != 0) {
      return describeError(errno, "removing", childPath);
    }
  }
}

}  // namespace

bool itemExists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

FileContents readWholeFile(const std::string& path) {
  FileContents contents;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    contents.error = describeError(errno, "opening", path);
    return contents;
  }
  std::string bytes;
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got > 0) {
      bytes.append(buffer, static_cast<size_t>(got));
    } else if (got == 0) {
      break;
    } else if (errno != EINTR) {
      contents.error = describeError(errno, "reading", path);
      return contents;
    }
  }
  contents.bytes = std::move(bytes);
  return contents;
}

FolderListing listFolder(const std::string& path) {
  FolderListing listing;
  FolderStream stream(::opendir(path.c_str()));
  if (stream.get() == nullptr) {
    listing.error = describeError(errno, "listing", path);
    return listing;
  }
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    dirent* entry = ::readdir(stream.get());
    if (entry == nullptr) {
      if (errno != 0) {
        listing.error = describeError(errno, "listing", path);
        return listing;
      }
      break;
    }
    if (!isDotOrDotDot(entry->d_name)) {
      names.emplace_back(entry->d_name);
    }
  }
  listing.names = std::move(names);
  return listing;
}

std::optional<std::string> removeItem(const std::string& path) {
  if (::unlink(path.c_str()) == 0) {
    return std::nullopt;
  }
  int unlinkError = errno;
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    return describeError(unlinkError, "removing", path);
  }
  UniqueFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder) {
    return describeError(errno, "opening", path);
  }
  if (auto error = removeContents(folder.get(), path)) {
    return error;
  }
  if (::rmdir(path.c_str()) != 0) {
    return describeError(errno, "removing", path);
  }
  return std::nullopt;
}

}  // namespace installer
