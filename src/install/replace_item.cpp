#include "install/replace_item.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <random>

#include "install/copy_tree.h"
#include "platform/durability.h"
#include "platform/error.h"
#include "platform/fd.h"
#include "platform/folder.h"
#include "platform/fs.h"

namespace installer {

namespace {

constexpr size_t kSuffixLength = 12;
constexpr std::string_view kSuffixLetters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

// The destination split into the folder that receives it and its own name.
struct Place {
  std::string folder;
  std::string name;

  std::string pathOf(const std::string& entry) const {
    return folder == "/" ? "/" + entry : folder + "/" + entry;
  }
};

std::optional<Place> placeOf(std::string destination) {
  while (destination.size() > 1 && destination.back() == '/') {
    destination.pop_back();
  }
  Place place;
  size_t slash = destination.rfind('/');
  if (slash == std::string::npos) {
    place.folder = ".";
    place.name = destination;
  } else {
    place.folder = slash == 0 ? "/" : destination.substr(0, slash);
    place.name = destination.substr(slash + 1);
  }
  if (place.name.empty() || place.name == "." || place.name == "..") {
    return std::nullopt;
  }
  return place;
}

bool existsIn(int folder, const std::string& name) {
  struct stat status {};
  return ::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

std::string freshName(int folder, const std::string& prefix) {
  std::random_device device;
  std::uniform_int_distribution<size_t> pick(0, kSuffixLetters.size() - 1);
  for (;;) {
    std::string name = prefix;
    for (size_t i = 0; i < kSuffixLength; ++i) {
      name += kSuffixLetters[pick(device)];
    }
    if (!existsIn(folder, name)) {
      return name;
    }
  }
}

// Runs that install the same name coordinate with two kinds of lock, both released
// by the system when a process dies, however it dies:
//  - each run holds an exclusive flock on its temporary copy until it ends, so a
//    clean-up takes only copies that no running install holds;
//  - a run holds a shared flock on the destination folder itself from before its copy
//    exists until that copy is locked, and a clean-up takes the folder's lock
//    exclusively, without waiting, around locking a leftover.  So a clean-up never
//    sees a copy that exists but is not locked yet, and runs that create copies never
//    wait for each other.

// Takes the lock `operation` on the open folder `folder`, waiting for it unless
// LOCK_NB asks otherwise; an interrupted wait is tried again.
int lockFolder(int folder, int operation) {
  int result;
  while ((result = ::flock(folder, operation)) != 0 && errno == EINTR) {
  }
  return result;
}

// Takes the exclusive lock on the item `name` without waiting.  Sets `heldElsewhere`
// when another process holds it.
UniqueFd lockItem(int folder, const std::string& name, bool& heldElsewhere) {
  heldElsewhere = false;
  UniqueFd item(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (item && ::flock(item.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    heldElsewhere = true;
  }
  return item;
}

// Whether the open item `item` is the one named `name` in `folder`.
bool isItemNamed(int item, int folder, const std::string& name) {
  struct stat locked {};
  struct stat named {};
  return ::fstat(item, &locked) == 0 && ::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         ItemIdentity::of(locked) == ItemIdentity::of(named);
}

// Removes what an install of the same name that was killed or lost its machine
// midway left behind.  Failures are left for a later run: they do not stop this one.
// While another run is creating its copy, the whole clean-up is left for later.
void removeStaleTemporaries(int folder, const Place& place) {
  Result<std::vector<std::string>> names = listFolder(place.folder);
  if (!names) {
    return;
  }
  for (const std::string& entry : *names) {
    if (!isTemporaryNameFor(entry, place.name)) {
      continue;
    }
    if (lockFolder(folder, LOCK_EX | LOCK_NB) != 0) {
      return;
    }
    bool heldElsewhere = false;
    UniqueFd lock = lockItem(folder, entry, heldElsewhere);
    lockFolder(folder, LOCK_UN);
    if (lock && !heldElsewhere && isItemNamed(lock.get(), folder, entry)) {
      (void)removeItem(place.pathOf(entry));
    }
  }
}

bool swapUnsupported(int error) {
  return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP;
}

// Puts the finished copy `temporary` at `place.name` in one step.  Gives the name the
// item that stood there went under, or "" when none stood there.
Result<std::string> putInPlace(int folder, const Place& place, const std::string& temporary, Renames& renames) {
  const std::string& destination = place.name;
  auto failed = [&](int error) {
    return systemError(error, "renaming", place.pathOf(temporary) + " to " + place.pathOf(destination));
  };
  // An item may appear or vanish at the destination between two attempts; each
  // round looks again.
  for (int round = 0; round < 3; ++round) {
    Result<void> swapped = renames.exchange(folder, temporary, destination);
    if (swapped) {
      return temporary;
    }
    int error = swapped.error().code;
    if ((error == ENOENT || swapUnsupported(error)) && !existsIn(folder, destination)) {
      Result<void> moved = renames.renameWithoutReplacing(folder, temporary, destination);
      if (moved) {
        return std::string();
      }
      if (moved.error().code == EEXIST) {
        continue;
      }
      if (!swapUnsupported(moved.error().code)) {
        return failed(moved.error().code);
      }
      // The file system cannot promise not to replace; nothing stood there a moment
      // ago, so a plain rename is the best left.
      if (Result<void> plain = renames.rename(folder, temporary, destination); !plain) {
        return failed(plain.error().code);
      }
      return std::string();
    }
    if (!swapUnsupported(error)) {
      return failed(error);
    }
    // The file system cannot swap: set the old item aside, rename the copy in, and
    // put the old item back if that fails.  Its name is not a temporary copy's, so
    // that no later clean-up takes it for one should this run die in between.
    std::string aside = freshName(folder, "." + destination + ".previous.");
    if (Result<void> setAside = renames.rename(folder, destination, aside); !setAside) {
      if (setAside.error().code == ENOENT) {
        continue;
      }
      return failed(setAside.error().code);
    }
    if (Result<void> moved = renames.rename(folder, temporary, destination); !moved) {
      Error failure = failed(moved.error().code);
      if (Result<void> restored = renames.rename(folder, aside, destination); !restored) {
        failure.description += "; the replaced item could not be put back (" + restored.error().description +
                               ") and is kept at " + place.pathOf(aside);
      }
      return failure;
    }
    return aside;
  }
  return failed(EEXIST);
}

}  // namespace

bool isTemporaryNameFor(const std::string& candidate, const std::string& name) {
  const std::string prefix = "." + name + ".";
  if (candidate.size() != prefix.size() + kSuffixLength || !candidate.starts_with(prefix)) {
    return false;
  }
  return candidate.find_first_not_of(kSuffixLetters, prefix.size()) == std::string::npos;
}

Result<Replacement> replaceWithCopy(const std::string& source, const std::string& destination, Renames& renames,
                                    size_t workers) {
  std::optional<Place> place = placeOf(destination);
  if (!place) {
    return systemError(EINVAL, "copying to", destination);
  }
  UniqueFd folder(::open(place->folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) {
    return systemError(errno, "opening", place->folder);
  }

  removeStaleTemporaries(folder.get(), *place);

  // 1. Copy into a hidden sibling, locked from its creation on so that a concurrent
  //    install of the same name does not take it for a leftover.
  if (lockFolder(folder.get(), LOCK_SH) != 0) {
    return systemError(errno, "locking", place->folder);
  }
  const std::string temporary = freshName(folder.get(), "." + place->name + ".");
  const std::string temporaryPath = place->pathOf(temporary);
  UniqueFd copyLock;
  Result<void> copied = copyTree(source, folder.get(), temporary, temporaryPath, [&](int created) -> Result<void> {
    copyLock.reset(::fcntl(created, F_DUPFD_CLOEXEC, 0));
    if (!copyLock || ::flock(copyLock.get(), LOCK_EX | LOCK_NB) != 0) {
      return systemError(errno, "locking", temporaryPath);
    }
    lockFolder(folder.get(), LOCK_UN);
    return {};
  }, workers);
  lockFolder(folder.get(), LOCK_UN);
  // 2. Make it durable, and check that it is still the copy this run made and locked.
  if (copied) {
    copied = flushBeforeRename(copyLock.get(), temporaryPath);
  }
  if (copied && !isItemNamed(copyLock.get(), folder.get(), temporary)) {
    // Something else stands there now, or nothing: leave it be.
    return failure("The copy was changed by another program", "checking", temporaryPath);
  }
  if (!copied) {
    Error failure = copied.error();
    if (existsIn(folder.get(), temporary)) {
      if (Result<void> removed = removeItem(temporaryPath); !removed) {
        failure.description += "; the partial copy could not be removed: " + removed.error().description;
      }
    }
    return failure;
  }

  // 3. Put it in place, and make that durable before anyone hears of it.
  Result<std::string> oldName = putInPlace(folder.get(), *place, temporary, renames);
  if (!oldName) {
    Error failure = oldName.error();
    if (Result<void> removed = removeItem(temporaryPath); !removed) {
      failure.description += "; the copy could not be removed: " + removed.error().description;
    }
    return failure;
  }
  if (Result<void> flushed = flushFolder(folder.get(), place->folder); !flushed) {
    Error failure = flushed.error();
    failure.description += "; the new copy is in place but may not survive a power loss";
    return failure;
  }
  Replacement replacement;
  if (oldName->empty()) {
    return replacement;
  }

  // 4. Remove the item it replaced.  The copy is in place whatever happens here.
  replacement.replacedExisting = true;
  bool heldElsewhere = false;
  UniqueFd oldLock = lockItem(folder.get(), *oldName, heldElsewhere);
  if (Result<void> removed = removeItem(place->pathOf(*oldName)); !removed) {
    replacement.leftover = removed.error();
  }
  return replacement;
}

}  // namespace installer
