#include "platform/removal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <exception>
#include <optional>
#include <thread>
#include <vector>

#include "platform/descriptors.h"
#include "platform/error.h"
#include "platform/fd.h"
#include "platform/folder.h"

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

// Descriptors a removal's walk keeps for itself beyond the folders it holds open: a
// folder being opened, its listing, and what its caller holds.
constexpr size_t kRemovalReserve = 6;

// Levels of a walk that keep their folder's listing while it goes deeper, and the
// memory the listings of the levels below them may hold.  Past both, a folder lets go
// of its listing as the walk goes deeper and lists itself again on the way back up,
// where it finds only what is left: so a walk holds this many listings, this much more
// and a few bytes a level, whatever the depth.  Bundles, even a thousand narrow levels
// deep, never list a folder twice.
constexpr size_t kListedLevels = 32;
constexpr size_t kListedBytes = 128 << 10;

// One folder being emptied: the walk's stack holds one per level.
struct FolderRemoval {
  Listing entries;
  size_t next = 0;        // the entry to remove next
  size_t left = 0;        // entries not removed yet when the listing was let go
  bool letGo = false;
  size_t pathLength = 0;  // of the folder's own path
};

// The fewest folder levels each walk of a spread removal must be able to hold open.
constexpr size_t kFewestSpreadLevels = 8;

// The folder levels a walk may hold open when `walks` walks share the descriptors free,
// each with its own reserve.
size_t heldLevelsFor(size_t walks) {
  walks = std::max<size_t>(walks, 1);
  const size_t free = freeDescriptors();
  return std::min((free > walks * kRemovalReserve ? free - walks * kRemovalReserve : 0) / walks,
                  kMostHeldFolderLevels);
}

// Removes everything inside the open folder `top`, whose status is `status`, holding
// at most `heldLevels` folders open; `path` names it and grows with the walk, and
// `topDepth` is how deep it lies in the item being removed (1 for the item itself).
// An explicit stack and a bounded number of descriptors; nothing deeper than
// kDeepestFolderNesting is entered, so that a chain of folders someone keeps growing
// ends the walk instead of holding it: that is a failure, which leaves the rest.
// Entries that vanish meanwhile (another process removing the same tree) count as
// removed.
Result<void> emptyFolder(UniqueFd top, const struct stat& status, std::string& path, size_t heldLevels,
                         size_t topDepth) {
  const size_t topLength = path.size();
  FolderTrail trail(heldLevels);
  std::vector<FolderRemoval> stack;
  size_t listedBytes = 0;  // of the listings in the stack below kListedLevels
  auto count = [&](size_t level, const Listing& listing, bool adding) {
    if (level >= kListedLevels) {
      listedBytes = adding ? listedBytes + listing.bytes() : listedBytes - listing.bytes();
    }
  };
  auto enter = [&](UniqueFd folder, const struct stat& folderStatus) -> Result<void> {
    FolderRemoval removal;
    removal.pathLength = path.size();
    if (Result<void> listed = removal.entries.read(folder.get(), path); !listed) {
      return listed;
    }
    count(stack.size(), removal.entries, true);
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
      const size_t ownLength = current.pathLength;
      count(stack.size() - 1, current.entries, false);
      stack.pop_back();
      if (stack.empty()) {
        return {};
      }
      FolderRemoval& parent = stack.back();
      Result<UniqueFd> emptied = trail.leave(std::string_view(path.data(), parent.pathLength));
      if (!emptied) {
        return emptied.error();
      }
      emptied->reset();
      path.resize(ownLength);
      if (::unlinkat(trail.innermost(), path.c_str() + parent.pathLength + 1, AT_REMOVEDIR) != 0 &&
          errno != ENOENT) {
        return systemError(errno, "removing", path);
      }
      path.resize(parent.pathLength);
      if (parent.letGo) {
        if (Result<void> listed = parent.entries.read(trail.innermost(), path); !listed) {
          return listed;
        }
        count(stack.size() - 1, parent.entries, true);
        // More than it left: someone is adding entries, and would keep the walk here.
        if (parent.entries.size() > parent.left) {
          return systemError(ENOTEMPTY, "removing", path);
        }
        parent.next = 0;
        parent.letGo = false;
      }
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
    if (topDepth + stack.size() > kDeepestFolderNesting) {
      return failure("Folders nested more than " + std::to_string(kDeepestFolderNesting) + " deep are left behind",
                     "removing", std::string_view(path.data(), topLength));
    }
    // A folder: empty it first.  O_NOFOLLOW keeps a link swapped in meanwhile from
    // leading the removal elsewhere.
    Result<UniqueFd> child = openToEmpty(trail.innermost(), name, path, childStatus);
    if (!child) {
      return child.error();
    }
    if (stack.size() > kListedLevels && listedBytes > kListedBytes) {
      current.left = current.entries.size() - current.next;
      count(stack.size() - 1, current.entries, false);
      current.entries = Listing();
      current.letGo = true;
    }
    if (Result<void> entered = enter(std::move(*child), childStatus); !entered) {
      return entered;
    }
  }
  return {};
}

// A folder removal spread over threads: the calling thread opens the folder's top
// levels, and the items it finds there, files and whole folders below those levels,
// become the workers' shares, taken in order from one list; what is left, the folders
// opened, the calling thread removes once every share is done, deepest first.  Shares
// and open folders are bounded, so memory and descriptors are too.
class SpreadRemoval {
public:
  SpreadRemoval(UniqueFd top, std::string path) { opened_.push_back(Opened{std::move(top), 0, std::move(path), "", 0}); }

  Result<void> run(size_t workers) {
    spread();
    const size_t heldLevels = heldLevelsFor(workers);
    std::vector<std::thread> threads;
    try {
      for (size_t i = 1; i < workers; ++i) {
        threads.emplace_back([this, heldLevels] { work(heldLevels); });
      }
    } catch (const std::exception&) {
      // No more threads: those started, and this one, do the work.
    }
    work(heldLevels);
    for (std::thread& thread : threads) {
      thread.join();
    }
    for (const Share& share : shares_) {
      if (share.failure) {
        return *share.failure;
      }
    }
    // The folders opened, deepest first: each is emptied of whatever the spread left
    // in it, then goes from the folder that holds it.
    for (size_t index = opened_.size(); index-- > 1;) {
      const Opened& folder = opened_[index];
      struct stat status {};
      if (::fstat(folder.fd.get(), &status) != 0) {
        return systemError(errno, "reading", folder.path);
      }
      std::string path = folder.path;
      UniqueFd own(::fcntl(folder.fd.get(), F_DUPFD_CLOEXEC, 0));
      const size_t depth = static_cast<size_t>(folder.level) + 1;
      if (Result<void> emptied = emptyFolder(std::move(own), status, path, heldLevelsFor(1), depth); !emptied) {
        return emptied;
      }
      if (::unlinkat(opened_[folder.parent].fd.get(), folder.name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
        return systemError(errno, "removing", folder.path);
      }
    }
    struct stat status {};
    std::string path = opened_.front().path;
    UniqueFd own(::fcntl(opened_.front().fd.get(), F_DUPFD_CLOEXEC, 0));
    if (!own || ::fstat(own.get(), &status) != 0) {
      return systemError(errno, "reading", path);
    }
    return emptyFolder(std::move(own), status, path, heldLevelsFor(1), 1);
  }

private:
  // Folders opened while spreading are kept open until their turn at the end; shares
  // stop growing at so many, and the rest is left to that turn.
  static constexpr size_t kMostOpened = 32;
  static constexpr size_t kMostShares = 1 << 14;
  static constexpr int kSpreadLevels = 3;

  struct Opened {
    UniqueFd fd;
    size_t parent;  // index of the folder that holds it
    std::string path;
    std::string name;
    int level = 0;
  };
  struct Share {
    size_t folder;  // index of the opened folder it lies in
    std::string name;
    bool isFolder = false;
    std::optional<Error> failure;
  };

  void spread() {
    for (size_t index = 0; index < opened_.size(); ++index) {
      Listing entries;
      if (!entries.read(opened_[index].fd.get(), opened_[index].path)) {
        return;  // the end's own walk says why
      }
      for (size_t entry = 0; entry < entries.size() && shares_.size() < kMostShares; ++entry) {
        const char* name = entries.name(entry);
        bool isFolder = entries.type(entry) == DT_DIR;
        if (entries.type(entry) == DT_UNKNOWN) {
          struct stat status {};
          isFolder = ::fstatat(opened_[index].fd.get(), name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                     S_ISDIR(status.st_mode);
        }
        if (isFolder && opened_[index].level + 1 < kSpreadLevels && opened_.size() < kMostOpened) {
          struct stat status {};
          std::string path = opened_[index].path + "/" + name;
          Result<UniqueFd> child = openToEmpty(opened_[index].fd.get(), name, path, status);
          if (child) {
            opened_.push_back(Opened{std::move(*child), index, path, name, opened_[index].level + 1});
            continue;
          }
        }
        shares_.push_back(Share{index, name, isFolder, std::nullopt});
      }
    }
  }

  void work(size_t heldLevels) {
    for (size_t index; (index = next_.fetch_add(1)) < shares_.size();) {
      Share& share = shares_[index];
      const Opened& folder = opened_[share.folder];
      const std::string path = folder.path + "/" + share.name;
      if (::unlinkat(folder.fd.get(), share.name.c_str(), 0) == 0 || errno == ENOENT) {
        continue;
      }
      int unlinkError = errno;
      struct stat status {};
      if (::fstatat(folder.fd.get(), share.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
          !S_ISDIR(status.st_mode)) {
        if (errno != ENOENT) {
          share.failure = systemError(unlinkError, "removing", path);
        }
        continue;
      }
      Result<UniqueFd> child = openToEmpty(folder.fd.get(), share.name.c_str(), path, status);
      std::string walked = path;
      const size_t depth = static_cast<size_t>(folder.level) + 2;
      Result<void> emptied =
          child ? emptyFolder(std::move(*child), status, walked, heldLevels, depth) : Result<void>(child.error());
      if (!emptied) {
        share.failure = emptied.error();
      } else if (::unlinkat(folder.fd.get(), share.name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
        share.failure = systemError(errno, "removing", path);
      }
    }
  }

  std::vector<Opened> opened_;
  std::vector<Share> shares_;
  std::atomic<size_t> next_{0};
};

}  // namespace

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
  if (Result<void> emptied = emptyFolder(std::move(*folder), status, walked, heldLevelsFor(1), 1); !emptied) {
    return emptied;
  }
  if (::rmdir(path.c_str()) != 0) {
    return systemError(errno, "removing", path);
  }
  return {};
}

Result<void> removeContents(int folder, const std::string& shownPath, size_t workers) {
  UniqueFd own(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
  struct stat status {};
  if (!own || ::fstat(own.get(), &status) != 0) {
    return systemError(errno, "opening", shownPath);
  }
  openUp(own.get(), status);
  // Spread only while descriptors are plenty: each walk then has its own share.
  if (workers > 1 && heldLevelsFor(workers) >= kFewestSpreadLevels) {
    return SpreadRemoval(std::move(own), shownPath).run(workers);
  }
  std::string walked = shownPath;
  return emptyFolder(std::move(own), status, walked, heldLevelsFor(1), 1);
}

}  // namespace installer
