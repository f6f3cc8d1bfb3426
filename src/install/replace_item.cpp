#include "install/replace_item.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "install/copy_tree.h"
#include "platform/attributes.h"
#include "platform/durability.h"
#include "platform/error.h"
#include "platform/fd.h"
#include "platform/folder.h"
#include "platform/fs.h"

namespace installer {

namespace {

constexpr size_t kSuffixLength = 12;
constexpr std::string_view kSuffixLetters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

// Opening an item in the destination folder to examine, mark or remove it: never
// through a link, never taking a terminal.
constexpr int kItemFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

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
  for (;;) {
    std::string name = prefix + randomLetters(kSuffixLength);
    if (!existsIn(folder, name)) {
      return name;
    }
  }
}

// Opens the item `name` in `folder` when it is a folder or a regular file, the only
// kinds the tool marks or removes through a descriptor (opening a device could do
// anything).
UniqueFd openItem(int folder, const std::string& name) {
  struct stat status {};
  if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
      !(S_ISDIR(status.st_mode) || S_ISREG(status.st_mode))) {
    return UniqueFd();
  }
  return UniqueFd(::openat(folder, name.c_str(), kItemFlags));
}

// Whether the open folder or file `item`, whose status is `status`, holds nothing.
bool isEmpty(int item, const struct stat& status) {
  if (!S_ISDIR(status.st_mode)) {
    return status.st_size == 0;
  }
  Listing entries;
  return entries.read(item, "") && entries.size() == 0;
}

// Whether the open item `item` is the one named `name` in `folder`.
bool isItemNamed(int item, int folder, const std::string& name) {
  struct stat open {};
  struct stat named {};
  return ::fstat(item, &open) == 0 && ::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         ItemIdentity::of(open) == ItemIdentity::of(named);
}

const std::string& markAttribute() {
  static const std::string attribute = toolAttribute("temporary");
  return attribute;
}

std::string markValue(Temporary kind, std::string_view name) {
  return (kind == Temporary::copy ? "copy " : "replaced ") + std::string(name);
}

// Takes the mark `value` off the open item `item`, and no other: a mark another run
// set is that run's to take off.
void unmark(int item, const std::string& value) {
  if (attributeValue(item, markAttribute()) == value) {
    (void)removeAttribute(item, markAttribute());
  }
}

// Takes the mark off this run's own copy, whose top the copy may have left read-only,
// which keeps even its owner from changing its attributes: the owner's write
// permission is lent for the moment.
void unmarkOwnCopy(int copy, const std::string& temporary) {
  const std::string value = markValue(Temporary::copy, temporary);
  if (attributeValue(copy, markAttribute()) != value || removeAttribute(copy, markAttribute())) {
    return;
  }
  struct stat status {};
  if (::fstat(copy, &status) == 0 && ::fchmod(copy, (status.st_mode & 07777) | S_IWUSR) == 0) {
    (void)removeAttribute(copy, markAttribute());
    (void)::fchmod(copy, status.st_mode & 07777);
  }
}

// Runs that install the same name coordinate through the lock each holds on its own
// temporary copy, exclusively, from the moment the copy exists until the run ends; the
// system releases it when a process dies, however it dies.  A clean-up takes a copy
// only when it can take that lock, so never one that a running install is making.
// The copy is created private to this user (a folder 0700, a file 0600, until it is
// filled), so no other user can open it, let alone lock it: nobody else can stall an
// install or keep a leftover from its clean-up.  The item a copy replaced needs no
// lock: removing it twice at once does no harm.
//
// A copy is marked just after it is created and locked; one that a run left empty and
// unmarked, dying in between, is taken too, being empty.  A run whose new copy a
// clean-up took meanwhile, or whose lock another program holds, makes another.

// Removes what installs of the same name that were killed or lost their machine
// midway left behind: items under a temporary name that this user owns and that bear
// this tool's mark for that name, or that are empty; `own` is this run's, which it
// has dealt with itself.  Then the destination itself loses a mark that a run which
// died left on it, once nothing stands at the name the mark is for any more: a
// running install's mark stays.  Failures are left for a later run: they do not stop
// this one.
void removeStaleTemporaries(int folder, const Place& place, FolderChanges& changes, size_t workers,
                            const std::string& own) {
  if (Result<std::vector<std::string>> names = listFolder(place.folder)) {
    for (const std::string& entry : *names) {
      if (entry == own || !isTemporaryNameFor(entry, place.name)) {
        continue;
      }
      UniqueFd item = openItem(folder, entry);
      struct stat status {};
      if (!item || ::fstat(item.get(), &status) != 0 || status.st_uid != ::geteuid()) {
        continue;
      }
      std::optional<Temporary> kind = temporaryMark(item.get(), entry);
      const bool needsLock = kind != Temporary::replaced;
      if ((!kind && !isEmpty(item.get(), status)) ||
          (needsLock && ::flock(item.get(), LOCK_EX | LOCK_NB) != 0)) {
        continue;
      }
      if (isItemNamed(item.get(), folder, entry)) {
        (void)changes.remove(folder, entry, item.get(), place.pathOf(entry), workers);
      }
    }
  }
  if (UniqueFd installed = openItem(folder, place.name)) {
    std::optional<std::string> value = attributeValue(installed.get(), markAttribute());
    const size_t space = value ? value->find(' ') : std::string::npos;
    if (space != std::string::npos && !existsIn(folder, value->substr(space + 1))) {
      unmark(installed.get(), *value);
    }
  }
}

bool swapUnsupported(int error) {
  return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP;
}

// Puts the finished copy `temporary` at `place.name` in one step.  Gives the name the
// item that stood there went under, or "" when none stood there.
Result<std::string> putInPlace(int folder, const Place& place, const std::string& temporary,
                               FolderChanges& changes) {
  const std::string& destination = place.name;
  auto failed = [&](int error) {
    Error failure = systemError(error, "renaming", place.pathOf(temporary) + " to " + place.pathOf(destination));
    if (error == EPERM || error == EACCES) {
      // On macOS 13 and later, App Management guards the apps in /Applications.
      failure.description +=
          "; the system refused to replace the app (on macOS, the program that starts the installer needs the "
          "App Management or Full Disk Access permission)";
    }
    return failure;
  };
  // An item may appear or vanish at the destination between two attempts; each
  // round looks again.
  for (int round = 0; round < 3; ++round) {
    Result<void> swapped = changes.exchange(folder, temporary, destination);
    if (swapped) {
      return temporary;
    }
    int error = swapped.error().code;
    if ((error == ENOENT || swapUnsupported(error)) && !existsIn(folder, destination)) {
      Result<void> moved = changes.renameWithoutReplacing(folder, temporary, destination);
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
      if (Result<void> plain = changes.rename(folder, temporary, destination); !plain) {
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
    if (Result<void> setAside = changes.rename(folder, destination, aside); !setAside) {
      if (setAside.error().code == ENOENT) {
        continue;
      }
      return failed(setAside.error().code);
    }
    if (Result<void> moved = changes.rename(folder, temporary, destination); !moved) {
      Error failure = failed(moved.error().code);
      if (Result<void> restored = changes.rename(folder, aside, destination); !restored) {
        failure.description += "; the replaced item could not be put back (" + restored.error().description +
                               ") and is kept at " + place.pathOf(aside);
      }
      return failure;
    }
    return aside;
  }
  return failed(EEXIST);
}

// Removes the copy this run made and failed to put in place, through its own
// descriptor: whatever another program may have put under its name stays.
void removeOwnCopy(int folder, const Place& place, const std::string& temporary, int copy, FolderChanges& changes,
                   size_t workers, Error& failure) {
  if (copy < 0 || !isItemNamed(copy, folder, temporary)) {
    return;  // nothing was made, or it is not ours any more
  }
  if (Result<void> removed = changes.remove(folder, temporary, copy, place.pathOf(temporary), workers); !removed) {
    failure.description += "; the copy could not be removed: " + removed.error().description;
  }
}

}  // namespace

bool isTemporaryNameFor(const std::string& candidate, const std::string& name) {
  const std::string prefix = "." + name + ".";
  if (candidate.size() != prefix.size() + kSuffixLength || !candidate.starts_with(prefix)) {
    return false;
  }
  return candidate.find_first_not_of(kSuffixLetters, prefix.size()) == std::string::npos;
}

Result<void> markTemporary(int item, Temporary kind, std::string_view name) {
  return setAttribute(item, markAttribute(), markValue(kind, name));
}

std::optional<Temporary> temporaryMark(int item, std::string_view name) {
  std::optional<std::string> value = attributeValue(item, markAttribute());
  for (Temporary kind : {Temporary::copy, Temporary::replaced}) {
    if (value == markValue(kind, name)) {
      return kind;
    }
  }
  return std::nullopt;
}

namespace {

// Steps 1 to 3 of replaceWithCopy, in the open destination folder `folder`;
// `temporary` receives the name of the copy.
Result<Replacement> copyAndPutInPlace(const std::string& source, int folder, const Place& place,
                                      FolderChanges& changes, size_t workers, std::string& temporary) {
  // 1. Copy into a private hidden sibling, locked and marked as soon as it exists.
  //    A file system without extended attributes takes no mark: what a killed run
  //    leaves there then stays.
  std::string temporaryPath;
  UniqueFd copy;
  Result<void> copied;
  for (int attempt = 0; attempt < 3; ++attempt) {
    temporary = freshName(folder, "." + place.name + ".");
    temporaryPath = place.pathOf(temporary);
    bool taken = false;
    copied = copyTree(source, folder, temporary, temporaryPath, [&](int created) -> Result<void> {
      copy.reset(::fcntl(created, F_DUPFD_CLOEXEC, 0));
      if (!copy) {
        return systemError(errno, "locking", temporaryPath);
      }
      const bool locked = ::flock(copy.get(), LOCK_EX | LOCK_NB) == 0;
      if (!locked || !isItemNamed(copy.get(), folder, temporary)) {
        taken = true;
        return systemError(locked ? EWOULDBLOCK : errno, "locking", temporaryPath);
      }
      (void)markTemporary(copy.get(), Temporary::copy, temporary);
      return {};
    }, workers);
    // A clean-up may also have taken the new copy away between its creation and its
    // opening, while it was empty.
    taken = taken || (!copied && !copy && copied.error().code == ENOENT);
    if (!taken) {
      break;
    }
    // Another program has it, or had it (a clean-up, for an empty leftover): this one
    // is left as it is, or taken away while empty, and the next attempt makes another.
    (void)::unlinkat(folder, temporary.c_str(), AT_REMOVEDIR);
    copy.reset();
  }
  // The copy's own attributes came from the source at its finish; on macOS that took
  // away those it had.
  if (copied) {
    (void)markTemporary(copy.get(), Temporary::copy, temporary);
  }
  if (copied && !isItemNamed(copy.get(), folder, temporary)) {
    // Something else stands there now, or nothing: leave it be.
    return failure("The copy was changed by another program", "checking", temporaryPath);
  }

  // 2. Mark what it replaces, under the name that will then be its own, and make it
  //    all durable.
  UniqueFd old = openItem(folder, place.name);
  const std::string oldMark = markValue(Temporary::replaced, temporary);
  auto unmarkOld = [&] {
    if (old) {
      unmark(old.get(), oldMark);
    }
  };
  if (copied) {
    if (old) {
      (void)markTemporary(old.get(), Temporary::replaced, temporary);
    }
    copied = flushBeforeRename(copy.get(), temporaryPath);
  }
  if (!copied) {
    Error failure = copied.error();
    unmarkOld();
    removeOwnCopy(folder, place, temporary, copy.get(), changes, workers, failure);
    return failure;
  }

  // 3. Put it in place, unmark it there before its temporary name can be free again,
  //    and make that durable before anyone hears of it.  Who runs the old item is
  //    asked just before: after the swap, their executables lie under another name.
  std::vector<pid_t> running = old ? processesRunningFrom(place.pathOf(place.name)) : std::vector<pid_t>();
  Result<std::string> oldName = putInPlace(folder, place, temporary, changes);
  if (!oldName) {
    Error failure = oldName.error();
    unmarkOld();
    removeOwnCopy(folder, place, temporary, copy.get(), changes, workers, failure);
    return failure;
  }
  // What a swap put at the temporary name is the item that stood at the destination
  // at that moment: the one opened above, or, when another install of the same name
  // swapped in between, that install's new copy, which nobody else would ever remove.
  // Whichever it is, it is marked for this name at once and removed.
  UniqueFd displaced;
  if (*oldName == temporary) {
    displaced = openItem(folder, temporary);
    if (displaced) {
      (void)markTemporary(displaced.get(), Temporary::replaced, temporary);
    }
  }
  unmarkOwnCopy(copy.get(), temporary);
  if (Result<void> flushed = flushFolder(folder, place.folder); !flushed) {
    Error failure = flushed.error();
    failure.description += "; the new copy is in place but may not survive a power loss";
    return failure;
  }
  Replacement replacement;
  if (oldName->empty()) {
    unmarkOld();  // it went away before the copy came
    return replacement;
  }

  // 4. Remove the item it replaced, through its descriptor when it could be opened
  //    (a link could not): the copy is in place whatever happens here.
  replacement.replacedExisting = true;
  replacement.running = std::move(running);
  const std::string oldPath = place.pathOf(*oldName);
  if (*oldName != temporary) {
    displaced = std::move(old);  // set aside by name, not swapped
  }
  if (displaced ? !isItemNamed(displaced.get(), folder, *oldName) : !existsIn(folder, *oldName)) {
    replacement.leftover = failure("The replaced item was moved by another program", "removing", oldPath);
  } else if (Result<void> removed =
                 changes.remove(folder, *oldName, displaced ? displaced.get() : -1, oldPath, workers);
             !removed) {
    replacement.leftover = removed.error();
  }
  return replacement;
}

}  // namespace

Result<Replacement> replaceWithCopy(const std::string& source, const std::string& destination,
                                    FolderChanges& changes, size_t workers) {
  std::optional<Place> place = placeOf(destination);
  if (!place) {
    return systemError(EINVAL, "copying to", destination);
  }
  UniqueFd folder(::open(place->folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) {
    return systemError(errno, "opening", place->folder);
  }
  std::string temporary;
  Result<Replacement> replaced = copyAndPutInPlace(source, folder.get(), *place, changes, workers, temporary);
  // What earlier runs left goes once this run is done with its own copy, whatever
  // came of it: however much there is, it never holds up the install.
  removeStaleTemporaries(folder.get(), *place, changes, workers, temporary);
  return replaced;
}

}  // namespace installer
