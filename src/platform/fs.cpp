#include "platform/fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <random>

#include "platform/descriptors.h"
#include "platform/error.h"
#include "platform/fd.h"
#include "platform/folder.h"
#include "platform/io.h"

namespace installer {

namespace {

// Gives the owner full access to the open folder `folder`, whose status is `status`,
// when it lacks it: the entries of a read-only folder cannot be removed, nor those of
// one that cannot be read.  A folder of someone else's stays as it is, and its
// removal then fails as it would have.
void openUp(int folder, const struct stat& status) {
  if ((status.st_mode & S_IRWXU) != S_IRWXU) {
    (void)::fchmod(folder, (status.st_mode & 07777) | S_IRWXU);
  }
}

// Opens the folder `name` in the open folder `parent` (AT_FDCWD for a path) to empty
// it, never following a link, opening it up first when the owner cannot read it.
Result<UniqueFd> openToEmpty(int parent, const char* name, std::string_view shownPath, struct stat& status) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  UniqueFd folder(::openat(parent, name, kFlags));
  if (!folder && errno == EACCES && ::fchmodat(parent, name, S_IRWXU, AT_SYMLINK_NOFOLLOW) == 0) {
    folder.reset(::openat(parent, name, kFlags));
  }
  if (!folder) {
    return systemError(errno, "opening", shownPath);
  }
  if (::fstat(folder.get(), &status) != 0) {
    return systemError(errno, "reading", shownPath);
  }
  openUp(folder.get(), status);
  return folder;
}

// Descriptors a removal keeps for itself beyond the folders it holds open: a folder
// being opened, its listing, and what its caller holds.
constexpr size_t kRemovalReserve = 6;

// One folder being emptied: the walk's stack holds one per level.
struct FolderRemoval {
  Listing entries;
  size_t next = 0;        // the entry to remove next
  size_t pathLength = 0;  // of the folder's own path
};

// Removes everything inside the open folder `top`, whose status is `status`; `path`
// names it and grows with the walk.  An explicit stack and a bounded number of
// descriptors, whatever the depth.  Entries that vanish meanwhile (another process
// removing the same tree) count as removed.
Result<void> emptyFolder(UniqueFd top, const struct stat& status, std::string& path) {
  const size_t free = freeDescriptors();
  FolderTrail trail(std::min(free > kRemovalReserve ? free - kRemovalReserve : 0, kMostHeldFolderLevels));
  std::vector<FolderRemoval> stack;
  auto enter = [&](UniqueFd folder, const struct stat& folderStatus) -> Result<void> {
    FolderRemoval removal;
    removal.pathLength = path.size();
    if (Result<void> listed = removal.entries.read(folder.get(), path); !listed) {
      return listed;
    }
    trail.enter(std::move(folder), ItemIdentity::of(folderStatus));
    stack.push_back(std::move(removal));
    return {};
  };
  if (Result<void> entered = enter(std::move(top), status); !entered) {
    return entered;
  }

  while (!stack.empty()) {
    FolderRemoval& current = stack.back();
    if (current.next == current.entries.size()) {
      // Empty now: it goes from its parent, which is opened again if it let go.  The
      // top is left to the caller.
      stack.pop_back();
      if (stack.empty()) {
        return {};
      }
      const FolderRemoval& parent = stack.back();
      Result<UniqueFd> emptied = trail.leave(std::string_view(path.data(), parent.pathLength));
      if (!emptied) {
        return emptied.error();
      }
      emptied->reset();
      if (::unlinkat(trail.innermost(), parent.entries.name(parent.next - 1), AT_REMOVEDIR) != 0 &&
          errno != ENOENT) {
        return systemError(errno, "removing", path);
      }
      path.resize(parent.pathLength);
      continue;
    }

    const char* name = current.entries.name(current.next++);
    path.resize(current.pathLength);
    path.append(1, '/').append(name);
    if (::unlinkat(trail.innermost(), name, 0) == 0 || errno == ENOENT) {
      continue;
    }
    int unlinkError = errno;
    struct stat childStatus {};
    if (::fstatat(trail.innermost(), name, &childStatus, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) {
        continue;
      }
      return systemError(unlinkError, "removing", path);
    }
    if (!S_ISDIR(childStatus.st_mode)) {
      return systemError(unlinkError, "removing", path);
    }
    // A folder: empty it first.  O_NOFOLLOW keeps a link swapped in meanwhile from
    // leading the removal elsewhere.
    Result<UniqueFd> child = openToEmpty(trail.innermost(), name, path, childStatus);
    if (!child) {
      return child.error();
    }
    if (Result<void> entered = enter(std::move(*child), childStatus); !entered) {
      return entered;
    }
  }
  return {};
}

}  // namespace

bool itemExists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

Result<std::string> readPrivateFile(const std::string& path, size_t maxBytes) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) {
    return systemError(errno, "opening", path);
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) {
    return systemError(errno, "reading", path);
  }
  if (S_ISDIR(status.st_mode)) {
    return systemError(EISDIR, "reading", path);
  }
  if (!S_ISREG(status.st_mode)) {
    return failure("Not a regular file", "reading", path);
  }
  if (status.st_uid != ::geteuid() || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return failure("The file is not this user's alone", "reading", path);
  }
  if (static_cast<std::uintmax_t>(status.st_size) > maxBytes) {
    return systemError(EFBIG, "reading", path);
  }
  std::string bytes;
  bytes.reserve(static_cast<size_t>(status.st_size));
  // It may grow while it is read.
  if (Result<void> read = readToEnd(fd.get(), bytes, path, maxBytes); !read) {
    return read.error();
  }
  return bytes;
}

std::string randomLetters(size_t length) {
  static constexpr std::string_view kLetters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device device;
  std::uniform_int_distribution<size_t> pick(0, kLetters.size() - 1);
  std::string letters;
  for (size_t i = 0; i < length; ++i) {
    letters += kLetters[pick(device)];
  }
  return letters;
}

Result<std::string> createPrivateFile(const std::string& prefix) {
  for (;;) {
    std::string path = prefix + randomLetters(12);
    // O_EXCL refuses whatever stands there, a link included, without following it.
    UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600));
    if (!file && errno == EEXIST) {
      continue;
    }
    if (!file) {
      return systemError(errno, "creating", path);
    }
    // The creation mask may have taken the owner's own permissions.
    if (::fchmod(file.get(), 0600) != 0) {
      int error = errno;
      ::unlink(path.c_str());
      return systemError(error, "creating", path);
    }
    return path;
  }
}

Result<void> renameItem(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    return systemError(errno, "renaming", from + " to " + to);
  }
  return {};
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
  Result<UniqueFd> folder = openToEmpty(AT_FDCWD, path.c_str(), path, status);
  if (!folder) {
    return folder.error();
  }
  std::string walked = path;
  if (Result<void> emptied = emptyFolder(std::move(*folder), status, walked); !emptied) {
    return emptied;
  }
  if (::rmdir(path.c_str()) != 0) {
    return systemError(errno, "removing", path);
  }
  return {};
}

Result<void> removeContents(int folder, const std::string& shownPath) {
  UniqueFd own(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
  struct stat status {};
  if (!own || ::fstat(own.get(), &status) != 0) {
    return systemError(errno, "opening", shownPath);
  }
  openUp(own.get(), status);
  std::string walked = shownPath;
  return emptyFolder(std::move(own), status, walked);
}

std::string appendingPathComponent(const std::string& base, const std::string& component) {
  if (base.ends_with('/')) {
    return base + component;
  }
  return base + "/" + component;
}

}  // namespace installer
