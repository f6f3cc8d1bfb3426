#include "install/replace_item.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <random>

#include "install/copy_tree.h"
#include "platform/error.h"
#include "platform/fd.h"
#include "platform/fs.h"
#include "platform/rename.h"

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

// Takes the exclusive lock on the item `name` without waiting.  A running install
// holds that lock on its temporary copy from the moment it creates it until it ends,
// and the system lets go of it when the process dies, however it dies.  Sets
// `heldElsewhere` when another process holds it.
UniqueFd lockItem(int folder, const std::string& name, bool& heldElsewhere) {
  heldElsewhere = false;
  UniqueFd item(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (item && ::flock(item.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    heldElsewhere = true;
  }
  return item;
}

// Removes what an install of the same name that was killed or lost its machine
// midway left behind.  Failures are left for a later run: they do not stop this one.
void removeStaleTemporaries(int folder, const Place& place) {
  FolderListing listing = listFolder(place.folder);
  if (!listing.names) {
    return;
  }
  for (const std::string& entry : *listing.names) {
    if (!isTemporaryNameFor(entry, place.name)) {
      continue;
    }
    bool heldElsewhere = false;
    UniqueFd lock = lockItem(folder, entry, heldElsewhere);
    if (!heldElsewhere) {
      removeItem(place.pathOf(entry));
    }
  }
}

bool swapUnsupported(int error) {
  return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP;
}

struct PutInPlace {
  int error = 0;
  // Where the item that stood at the destination went; empty when none stood there.
  std::string oldName;
};

// Puts the finished copy `temporary` at `place.name` in one step.
PutInPlace putInPlace(int folder, const Place& place, const std::string& temporary) {
  const char* from = temporary.c_str();
  const char* to = place.name.c_str();
  // An item may appear or vanish at the destination between two attempts; each
  // round looks again.
  for (int round = 0; round < 3; ++round) {
    int error = exchangeItems(folder, from, to);
    if (error == 0) {
      return PutInPlace{0, temporary};
    }
    if ((error == ENOENT || swapUnsupported(error)) && !existsIn(folder, place.name)) {
      error = renameWithoutReplacing(folder, from, to);
      if (error == 0) {
        return PutInPlace{};
      }
      if (error == EEXIST) {
        continue;
      }
      if (!swapUnsupported(error)) {
        return PutInPlace{error, {}};
      }
      // The file system cannot promise not to replace; nothing stood there a moment
      // ago, so a plain rename is the best left.
      return PutInPlace{::renameat(folder, from, folder, to) == 0 ? 0 : errno, {}};
    }
    if (!swapUnsupported(error)) {
      return PutInPlace{error, {}};
    }
    // The file system cannot swap: set the old item aside, rename the copy in, and
    // put the old item back if that fails.  Its name is not a temporary copy's, so
    // that no later cleanup takes it for one should this run die in between.
    std::string aside = freshName(folder, "." + place.name + ".previous.");
    if (::renameat(folder, to, folder, aside.c_str()) != 0) {
      if (errno == ENOENT) {
        continue;
      }
      return PutInPlace{errno, {}};
    }
    if (::renameat(folder, from, folder, to) != 0) {
      int renameError = errno;
      ::renameat(folder, aside.c_str(), folder, to);
      return PutInPlace{renameError, {}};
    }
    return PutInPlace{0, aside};
  }
  return PutInPlace{EEXIST, {}};
}

}  // namespace

bool isTemporaryNameFor(const std::string& candidate, const std::string& name) {
  const std::string prefix = "." + name + ".";
  if (candidate.size() != prefix.size() + kSuffixLength || !candidate.starts_with(prefix)) {
    return false;
  }
  return candidate.find_first_not_of(kSuffixLetters, prefix.size()) == std::string::npos;
}

Replacement replaceWithCopy(const std::string& source, const std::string& destination) {
  Replacement result;
  std::optional<Place> place = placeOf(destination);
  if (!place) {
    result.failure = describeError(EINVAL, "copying to", destination);
    return result;
  }
  UniqueFd folder(::open(place->folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) {
    result.failure = describeError(errno, "opening", place->folder);
    return result;
  }

  removeStaleTemporaries(folder.get(), *place);

  // 1. Copy into a hidden sibling, locked from its creation on so that a concurrent
  //    install of the same name does not take it for a leftover.
  const std::string temporary = freshName(folder.get(), "." + place->name + ".");
  const std::string temporaryPath = place->pathOf(temporary);
  UniqueFd copyLock;
  result.failure = copyTree(source, folder.get(), temporary, temporaryPath, [&](int created) {
    copyLock.reset(::fcntl(created, F_DUPFD_CLOEXEC, 0));
    if (copyLock) {
      ::flock(copyLock.get(), LOCK_EX | LOCK_NB);
    }
  });
  if (result.failure) {
    if (existsIn(folder.get(), temporary)) {
      if (auto left = removeItem(temporaryPath)) {
        *result.failure += "; the partial copy could not be removed: " + *left;
      }
    }
    return result;
  }

  // 2. Put it in place.
  PutInPlace put = putInPlace(folder.get(), *place, temporary);
  if (put.error != 0) {
    result.failure = describeError(put.error, "renaming", temporaryPath + " to " + place->pathOf(place->name));
    if (auto left = removeItem(temporaryPath)) {
      *result.failure += "; the copy could not be removed: " + *left;
    }
    return result;
  }
  if (put.oldName.empty()) {
    return result;
  }

  // 3. Remove the item it replaced.  The copy is in place whatever happens here.
  result.replacedExisting = true;
  bool heldElsewhere = false;
  UniqueFd oldLock = lockItem(folder.get(), put.oldName, heldElsewhere);
  if (auto left = removeItem(place->pathOf(put.oldName))) {
    result.leftover = std::move(left);
  }
  return result;
}

}  // namespace installer
