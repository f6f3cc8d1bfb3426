#include "install/copy_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <map>

#include "platform/durability.h"
#include "platform/error.h"
#include "platform/fd.h"
#include "platform/file_copy.h"
#include "platform/folder.h"
#include "platform/log.h"

namespace installer {

namespace {

// Permission bits the copy may keep: read, write, execute and, on folders, sticky.
// Set-user-ID and set-group-ID are dropped: an installed bundle must not hand its
// privileges to whoever runs it just because the image said so.
constexpr mode_t kFilePermissions = 0777;
constexpr mode_t kFolderPermissions = 01777;

// Opening flags for anything read from the source: never follow a link, never wait
// on a FIFO that took a file's place, never take a terminal.
constexpr int kSourceFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

const char* kindOfNonFile(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFIFO:
      return "A FIFO (named pipe)";
    case S_IFSOCK:
      return "A socket";
    case S_IFCHR:
      return "A character device";
    case S_IFBLK:
      return "A block device";
    default:
      return "An item of unknown kind";
  }
}

// The work on one item once the walk has placed it: filling a created file, and
// finishing a filled folder.  It takes everything it needs as arguments and keeps
// only reusable buffers and the rules for permissions, so each thread that copies
// items can have its own.
class ItemSteps {
public:
  ItemSteps() {
    // Reading the mask means setting it; it is put back at once.  The tool runs on
    // one thread, so nothing else creates files meanwhile.
    mask_ = ::umask(0);
    ::umask(mask_);
    // Installed by root, the copy is what every user runs later: none of them may
    // change it, whatever the image says.
    const mode_t dropped = ::geteuid() == 0 ? S_IWOTH : 0;
    filePermissions_ = kFilePermissions & ~dropped;
    folderPermissions_ = kFolderPermissions & ~dropped;
  }

  // The mode to create the copy of a file with: writable for the owner, so that the
  // attributes can still be written.  When that and the mask leave the wanted bits
  // as they are, no chmod follows.
  mode_t creationMode(const struct stat& status) const {
    return ((status.st_mode & filePermissions_) | S_IRUSR | S_IWUSR) & ~mask_;
  }

  // Copies the contents, attributes, permissions and times of the file open at `from`
  // into its new copy `to`, created with creationMode(status), and closes it.
  Result<void> fillFile(int from, UniqueFd to, const struct stat& status, const CopyEnds& ends) {
    if (Result<void> copied = content_.copyData(from, to.get(), status, ends); !copied) {
      return copied;
    }
    if (Result<void> copied = content_.copyAttributes(from, to.get(), status, ends); !copied) {
      return copied;
    }
    const mode_t wanted = status.st_mode & filePermissions_;
    if (creationMode(status) != wanted && ::fchmod(to.get(), wanted) != 0) {
      return systemError(errno, "setting permissions of", ends.destination);
    }
    if (::futimens(to.get(), itemTimes(status).data()) != 0) {
      return systemError(errno, "setting times of", ends.destination);
    }
    if (Result<void> flushed = flushFileOfCopy(to.get(), status.st_size, ends.destination); !flushed) {
      return flushed;
    }
    // Some file systems report a failed write only when the file is closed.
    if (::close(to.release()) != 0 && errno != EINTR) {
      return writingFailed(errno, ends);
    }
    return {};
  }

  // Gives the filled copy `to` of the folder open at `from` its attributes,
  // permissions and times.  Attributes first: writing them needs the owner's write
  // permission, which the final bits may take away.  The times come last, as
  // everything before them counts as a change.
  Result<void> finishFolder(int from, int to, const struct stat& status, const CopyEnds& ends) {
    if (Result<void> copied = content_.copyAttributes(from, to, status, ends); !copied) {
      return copied;
    }
    if (::fchmod(to, status.st_mode & folderPermissions_) != 0) {
      return systemError(errno, "setting permissions of", ends.destination);
    }
    if (::futimens(to, itemTimes(status).data()) != 0) {
      return systemError(errno, "setting times of", ends.destination);
    }
    return {};
  }

private:
  mode_t mask_ = 0;
  mode_t filePermissions_ = kFilePermissions;
  mode_t folderPermissions_ = kFolderPermissions;
  ItemContentCopier content_;
};

// One folder on the walk's stack: a folder whose copy is being filled.
struct FolderCopy {
  // Both let go while deeper folders are copied, past the held levels.
  UniqueFd source;
  UniqueFd destination;
  struct stat status {};             // the source folder's: its identity, permissions and times
  ItemIdentity destinationIdentity;  // noted when it lets go of its descriptors
  Listing entries;
  size_t next = 0;  // the entry to copy next
  size_t sourceLength = 0;       // of the two paths, at this folder
  size_t destinationLength = 0;
};

// A file with more names in the bundle than the one copied so far.
struct LinkedFile {
  std::string pathInCopy;  // relative to the copy's top folder
  nlink_t namesLeft;
};

// One copy of one tree, walked with an explicit stack: no recursion, and a bounded
// number of open descriptors (see kHeldFolderLevels) whatever the depth.
//
// The walk (walk, copyEntry, enterFolder, leaveFolder) visits the entries in listing
// order and does what changes names: it creates folders and files, makes links and
// hard links, and keeps the stack.  The work on each file's contents and on each
// filled folder is ItemSteps', which needs nothing of the walk.  That is where a pool
// of workers fits: each created file becomes a work item (its source and copy open,
// its status, its paths) that a worker fills; each folder's finishFolder becomes a
// completion record that runs once its last item is done; and of several failures the
// one reported is the earliest in walk order.
class TreeCopier {
public:
  TreeCopier(const std::string& source, const std::string& shownPath,
             const std::function<Result<void>(int)>& onCreated)
      : source_(source), destination_(shownPath), topLength_(shownPath.size()), onCreated_(onCreated) {}

  Result<void> copy(int folder, const std::string& name) {
    // Its own string: source_ grows during the walk and may move its characters.
    const std::string top = source_;
    struct stat status {};
    Result<UniqueFd> from = examine(AT_FDCWD, top.c_str(), DT_UNKNOWN, status);
    if (!from) {
      return from.error();
    }
    switch (status.st_mode & S_IFMT) {
      case S_IFDIR:
        if (Result<void> entered = enterFolder(std::move(*from), status, folder, name.c_str(), true); !entered) {
          return entered;
        }
        return walk();
      case S_IFREG:
        return copyFile(std::move(*from), status, folder, name.c_str(), true);
      case S_IFLNK:
        // Installed as a link, the bundle would point wherever the image said: after
        // the detach nowhere, or into a folder someone else controls.
        return refused("A symbolic link cannot be an application bundle");
      default:
        return refused(std::string(kindOfNonFile(status.st_mode)) + " cannot be part of an application bundle");
    }
  }

private:
  Result<void> walk();
  Result<UniqueFd> examine(int sourceFolder, const char* name, unsigned char type, struct stat& status);
  Result<void> copyEntry(int sourceFolder, const char* name, unsigned char type, int folder);
  Result<void> enterFolder(UniqueFd from, const struct stat& status, int folder, const char* name, bool top);
  Result<void> leaveFolder();
  Result<void> copyFile(UniqueFd from, const struct stat& status, int folder, const char* name, bool top);
  Result<void> copyLink(int sourceFolder, const char* name, const struct stat& status, int folder);

  Result<void> created(int fd, bool top) { return top && onCreated_ ? onCreated_(fd) : Result<void>(); }
  Error refused(std::string_view what) const { return failure(what, "copying", source_); }
  Error onSource(int error, std::string_view operation) const { return systemError(error, operation, source_); }
  Error onCopy(int error, std::string_view operation) const { return systemError(error, operation, destination_); }
  CopyEnds ends() const { return CopyEnds{source_, destination_}; }

  // The two paths grow and shrink as the walk goes down and up, so they are only
  // ever as long as the deepest path.
  std::string source_;
  std::string destination_;
  const size_t topLength_;
  const std::function<Result<void>(int)>& onCreated_;
  // A deque: entries' names point into the folders' listings, which must not move
  // when a folder is pushed.
  std::deque<FolderCopy> stack_;
  std::map<ItemIdentity, LinkedFile> linked_;
  ItemSteps steps_;
  std::string linkTarget_;
};

Result<void> TreeCopier::walk() {
  while (!stack_.empty()) {
    FolderCopy& current = stack_.back();
    source_.resize(current.sourceLength);
    destination_.resize(current.destinationLength);
    if (current.next == current.entries.size()) {
      if (Result<void> finished =
              steps_.finishFolder(current.source.get(), current.destination.get(), current.status, ends());
          !finished) {
        return finished;
      }
      if (Result<void> left = leaveFolder(); !left) {
        return left;
      }
      continue;
    }
    const size_t index = current.next++;
    const char* name = current.entries.name(index);
    source_.append(1, '/').append(name);
    destination_.append(1, '/').append(name);
    if (Result<void> copied =
            copyEntry(current.source.get(), name, current.entries.type(index), current.destination.get());
        !copied) {
      return copied;
    }
  }
  return {};
}

Result<UniqueFd> TreeCopier::examine(int sourceFolder, const char* name, unsigned char type, struct stat& status) {
  // The listing's type, when it gives one, saves a status call for files and
  // folders: they are opened at once and the open item is examined.  What is not
  // plainly a file or a folder is examined by name first and never opened.
  UniqueFd from;
  if (type == DT_REG || type == DT_DIR) {
    from.reset(::openat(sourceFolder, name, kSourceFlags | (type == DT_DIR ? O_DIRECTORY : 0)));
    if (!from && errno != ELOOP && errno != ENOTDIR) {
      return onSource(errno, "opening");
    }
    // ELOOP or ENOTDIR: it changed kind since the listing; look again below.
  }
  if (from) {
    if (::fstat(from.get(), &status) != 0) {
      return onSource(errno, "reading");
    }
    return from;
  }
  if (::fstatat(sourceFolder, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return onSource(errno, "copying");
  }
  if (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode)) {
    from.reset(::openat(sourceFolder, name, kSourceFlags | (S_ISDIR(status.st_mode) ? O_DIRECTORY : 0)));
    if (!from || ::fstat(from.get(), &status) != 0) {
      return onSource(errno, "opening");
    }
  }
  return from;
}

Result<void> TreeCopier::copyEntry(int sourceFolder, const char* name, unsigned char type, int folder) {
  struct stat status {};
  Result<UniqueFd> from = examine(sourceFolder, name, type, status);
  if (!from) {
    return from.error();
  }
  switch (status.st_mode & S_IFMT) {
    case S_IFDIR:
      if (stack_.size() >= kDeepestFolderNesting) {
        return refused("Folders nested more than " + std::to_string(kDeepestFolderNesting) +
                       " deep cannot be part of an application bundle");
      }
      return enterFolder(std::move(*from), status, folder, name, false);
    case S_IFREG:
      return copyFile(std::move(*from), status, folder, name, false);
    case S_IFLNK:
      return copyLink(sourceFolder, name, status, folder);
    default:
      return refused(std::string(kindOfNonFile(status.st_mode)) + " cannot be part of an application bundle");
  }
}

Result<void> TreeCopier::enterFolder(UniqueFd from, const struct stat& status, int folder, const char* name,
                                     bool top) {
  // Owner-only until it is filled: a read-only source folder must still take the
  // copies of its entries, and nobody else should see it half-made.
  if (::mkdirat(folder, name, 0700) != 0) {
    return onCopy(errno, "creating");
  }
  UniqueFd to(::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!to) {
    return onCopy(errno, "opening");
  }
  if (Result<void> announced = created(to.get(), top); !announced) {
    return announced;
  }
  FolderCopy copy;
  if (Result<void> listed = copy.entries.read(from.get(), source_); !listed) {
    return listed;
  }
  if (stack_.size() >= kHeldFolderLevels) {
    FolderCopy& parent = stack_.back();
    struct stat parentCopy {};
    if (::fstat(parent.destination.get(), &parentCopy) != 0) {
      return systemError(errno, "reading", std::string_view(destination_.data(), parent.destinationLength));
    }
    parent.destinationIdentity = ItemIdentity::of(parentCopy);
    parent.source.reset();
    parent.destination.reset();
  }
  copy.source = std::move(from);
  copy.destination = std::move(to);
  copy.status = status;
  copy.sourceLength = source_.size();
  copy.destinationLength = destination_.size();
  stack_.push_back(std::move(copy));
  return {};
}

Result<void> TreeCopier::leaveFolder() {
  FolderCopy done = std::move(stack_.back());
  stack_.pop_back();
  if (stack_.empty() || stack_.back().source) {
    return {};
  }
  // The folder let go of its descriptors while this one was copied: it is opened
  // again from here, and must be the very folder the walk came down from.
  FolderCopy& parent = stack_.back();
  Result<UniqueFd> source = openParentFolder(done.source.get(), ItemIdentity::of(parent.status),
                                             std::string_view(source_.data(), parent.sourceLength));
  if (!source) {
    return source.error();
  }
  Result<UniqueFd> destination = openParentFolder(done.destination.get(), parent.destinationIdentity,
                                                  std::string_view(destination_.data(), parent.destinationLength));
  if (!destination) {
    return destination.error();
  }
  parent.source = std::move(*source);
  parent.destination = std::move(*destination);
  return {};
}

Result<void> TreeCopier::copyFile(UniqueFd from, const struct stat& status, int folder, const char* name, bool top) {
  // A file with several names in the bundle is copied once; its other names become
  // names of that copy, as cp -a keeps them.  Only names still to come are
  // remembered, so memory does not grow with the files copied.
  if (!top && status.st_nlink > 1) {
    auto known = linked_.find(ItemIdentity::of(status));
    if (known != linked_.end()) {
      if (::linkat(stack_.front().destination.get(), known->second.pathInCopy.c_str(), folder, name, 0) != 0) {
        return onCopy(errno, "creating");
      }
      if (--known->second.namesLeft == 0) {
        linked_.erase(known);
      }
      return {};
    }
    linked_.emplace(ItemIdentity::of(status), LinkedFile{destination_.substr(topLength_ + 1), static_cast<nlink_t>(status.st_nlink - 1)});
  }
  UniqueFd to(::openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, steps_.creationMode(status)));
  if (!to) {
    return onCopy(errno, "creating");
  }
  if (Result<void> announced = created(to.get(), top); !announced) {
    return announced;
  }
  return steps_.fillFile(from.get(), std::move(to), status, ends());
}

Result<void> TreeCopier::copyLink(int sourceFolder, const char* name, const struct stat& status, int folder) {
  // The size the status gives is the target's length; a target that grew since is
  // read again into more room.
  size_t room = static_cast<size_t>(status.st_size) + 1;
  for (;;) {
    linkTarget_.resize(room);
    ssize_t length = ::readlinkat(sourceFolder, name, linkTarget_.data(), room);
    if (length < 0) {
      return onSource(errno, "reading");
    }
    if (static_cast<size_t>(length) < room) {
      linkTarget_.resize(static_cast<size_t>(length));
      break;
    }
    room *= 2;
  }
  if (::symlinkat(linkTarget_.c_str(), folder, name) != 0) {
    return onCopy(errno, "creating");
  }
  if (::utimensat(folder, name, itemTimes(status).data(), AT_SYMLINK_NOFOLLOW) != 0) {
    return onCopy(errno, "setting times of");
  }
  return {};
}

}  // namespace

Result<void> copyTree(const std::string& source, int folder, const std::string& name, const std::string& shownPath,
                      const std::function<Result<void>(int)>& onCreated) {
  TreeCopier copier(source, shownPath, onCreated);
  return copier.copy(folder, name);
}

}  // namespace installer
