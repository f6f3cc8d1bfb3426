#include "install/copy_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <map>
#include <optional>
#include <string>

#include "install/fill_pool.h"
#include "install/item_steps.h"
#include "platform/error.h"
#include "platform/fd.h"
#include "platform/file_copy.h"
#include "platform/folder.h"
#include "platform/scheduling.h"

namespace installer {

namespace {

// The most threads that fill files, however many processors there are: past that,
// the disk, not the processors, sets the pace.
constexpr size_t kMostCopyWorkers = 8;

// Folders whose finish waits for files still being filled: past this many, the walk
// waits for the earliest.  Each holds two descriptors.
constexpr size_t kMostUnfinishedFolders = 16;

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

// One folder on the walk's stack: a folder whose copy is being filled.
struct FolderCopy {
  // Both let go while deeper folders are copied, past the held levels.
  UniqueFd source;
  UniqueFd destination;
  struct stat status {};             // the source folder's: its identity, permissions and times
  ItemIdentity destinationIdentity;  // noted when it lets go of its descriptors
  Listing entries;
  size_t next = 0;  // the entry to copy next
  WalkPosition created = 0;  // the position of the step that created it
  size_t sourceLength = 0;       // of the two paths, at this folder
  size_t destinationLength = 0;
};

// A file with more names in the bundle than the one copied so far.
struct LinkedFile {
  std::string pathInCopy;  // relative to the copy's top folder
  nlink_t namesLeft;
};

// A folder whose walk is done and whose finish waits for files inside it that
// workers are still filling: those handed over between its creation and its finish.
struct UnfinishedFolder {
  WalkPosition created = 0;
  WalkPosition position = 0;  // of its finish
  UniqueFd source;
  UniqueFd destination;
  struct stat status {};
  std::string sourcePath;
  std::string destinationPath;
};

// One copy of one tree, walked with an explicit stack: no recursion, and a bounded
// number of open descriptors (see kHeldFolderLevels) whatever the depth.
//
// The walk (walk, copyEntry, enterFolder, leaveFolder) runs on the calling thread.
// It visits the entries in listing order and does what changes names: it creates
// folders and files, makes links and hard links, and keeps the stack.  The work on
// each file's contents is ItemSteps::fillFile, which needs nothing of the walk: with
// more than one worker, each created file goes to a FillPool, whose threads fill it
// while the walk goes on.  A folder gets its finish (ItemSteps::finishFolder, on this
// thread) once every file inside it is filled, after its subfolders: until then it
// waits among the unfinished folders, which are in walk order, so each after its
// subfolders.  With one worker the walk fills each file itself, and finishes each
// folder as it leaves it.
//
// Each step of the walk has a position (see WalkPosition); of several failures, the
// walk's own and the workers', the one reported is the earliest in walk order.
class TreeCopier {
public:
  TreeCopier(const std::string& source, const std::string& shownPath,
             const std::function<Result<void>(int)>& onCreated)
      : source_(source),
        destination_(shownPath),
        topLength_(shownPath.size()),
        onCreated_(onCreated),
        rules_(CopyRules::forThisProcess()),
        steps_(rules_) {}

  Result<void> copy(int folder, const std::string& name, size_t workers) {
    if (workers > 1) {
      pool_.emplace(workers, rules_);
      if (pool_->workers() == 0) {
        pool_.reset();
      }
    }
    Result<void> walked = walkFrom(folder, name);
    if (!pool_) {
      return walked;
    }
    if (!walked) {
      pool_->fail(position_, walked.error());
    }
    // Every thread of the copy is joined here, whatever came of it.
    std::optional<PlacedFailure> failure = pool_->finish();
    // Every file is filled now.  The folders still unfinished get their finish up to
    // the first failure: one of them comes before it, and could fail first.
    for (UnfinishedFolder& folder : unfinished_) {
      if (failure && failure->position <= folder.position) {
        break;
      }
      if (Result<void> finished = finish(folder); !finished) {
        return finished;
      }
    }
    if (failure) {
      return failure->error;
    }
    return {};
  }

private:
  Result<void> walkFrom(int folder, const std::string& name);
  Result<void> walk();
  Result<UniqueFd> examine(int sourceFolder, const char* name, unsigned char type, struct stat& status);
  Result<void> copyEntry(int sourceFolder, const char* name, unsigned char type, int folder);
  Result<void> enterFolder(UniqueFd from, const struct stat& status, int folder, const char* name, bool top);
  Result<void> leaveFolder(const FolderCopy& done);
  Result<void> finishFolderLeft();
  Result<void> finishFilledFolders();
  Result<void> finish(UnfinishedFolder& folder);
  // Whether no file inside the folder created at `created` and finished at `finished`
  // was among the unfilled ones when they were last looked at.
  bool filledInside(WalkPosition created, WalkPosition finished) const {
    return std::none_of(unfilled_.begin(), unfilled_.end(),
                        [&](WalkPosition file) { return file > created && file < finished; });
  }
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
  const CopyRules rules_;
  ItemSteps steps_;
  std::string linkTarget_;
  // The position of the step the walk is at.
  WalkPosition position_ = 0;
  // With more than one worker: the pool, the folders waiting for their finish in walk
  // order, the positions of the files the workers had not filled when last asked, and
  // the file being handed over (kept for its strings' room).
  std::optional<FillPool> pool_;
  std::deque<UnfinishedFolder> unfinished_;
  std::vector<WalkPosition> unfilled_;
  FileToFill handedOver_;
};

Result<void> TreeCopier::walkFrom(int folder, const std::string& name) {
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

Result<void> TreeCopier::walk() {
  while (!stack_.empty()) {
    // A worker failed: nothing the walk does from here could come before that.
    if (pool_ && pool_->failed()) {
      return {};
    }
    ++position_;
    FolderCopy& current = stack_.back();
    source_.resize(current.sourceLength);
    destination_.resize(current.destinationLength);
    if (current.next == current.entries.size()) {
      if (Result<void> finished = finishFolderLeft(); !finished) {
        return finished;
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

// The folder at the top of the stack has been walked: it is finished now if all the
// files inside it are filled, or else joins the unfinished folders; then the walk
// leaves it.
Result<void> TreeCopier::finishFolderLeft() {
  FolderCopy done = std::move(stack_.back());
  stack_.pop_back();
  // One look at the workers' progress serves this folder and the unfinished ones, so
  // that none is found filled while a subfolder of its is not.
  const bool now = !pool_ || (pool_->unfilled(unfilled_) && filledInside(done.created, position_));
  if (now) {
    // Its unfinished subfolders are filled too and come first.
    if (Result<void> finished = finishFilledFolders(); !finished) {
      return finished;
    }
    if (Result<void> finished = steps_.finishFolder(done.source.get(), done.destination.get(), done.status, ends());
        !finished) {
      return finished;
    }
  }
  if (Result<void> left = leaveFolder(done); !left) {
    return left;
  }
  if (now) {
    return {};
  }
  unfinished_.push_back(UnfinishedFolder{done.created, position_, std::move(done.source),
                                         std::move(done.destination), done.status, source_, destination_});
  if (Result<void> finished = finishFilledFolders(); !finished) {
    return finished;
  }
  // Too many wait, each holding two descriptors: the walk waits for the earliest.
  if (unfinished_.size() > kMostUnfinishedFolders) {
    const UnfinishedFolder& earliest = unfinished_.front();
    if (!pool_->waitForFilesBetween(earliest.created, earliest.position) || !pool_->unfilled(unfilled_)) {
      return {};  // a worker failed: the walk stops at its next step
    }
    return finishFilledFolders();
  }
  return {};
}

// Finishes the unfinished folders whose files are all filled, in walk order.
Result<void> TreeCopier::finishFilledFolders() {
  for (auto folder = unfinished_.begin(); folder != unfinished_.end();) {
    if (!filledInside(folder->created, folder->position)) {
      ++folder;
      continue;
    }
    if (Result<void> finished = finish(*folder); !finished) {
      // Recorded at its own position: the walk has gone on since.
      pool_->fail(folder->position, finished.error());
      return finished;
    }
    folder = unfinished_.erase(folder);
  }
  return {};
}

Result<void> TreeCopier::finish(UnfinishedFolder& folder) {
  return steps_.finishFolder(folder.source.get(), folder.destination.get(), folder.status,
                             CopyEnds{folder.sourcePath, folder.destinationPath});
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
  copy.created = position_;
  copy.sourceLength = source_.size();
  copy.destinationLength = destination_.size();
  stack_.push_back(std::move(copy));
  return {};
}

Result<void> TreeCopier::leaveFolder(const FolderCopy& done) {
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
  UniqueFd to(::openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, rules_.creationMode(status)));
  if (!to) {
    return onCopy(errno, "creating");
  }
  if (Result<void> announced = created(to.get(), top); !announced) {
    return announced;
  }
  if (!pool_) {
    return steps_.fillFile(from.get(), std::move(to), status, ends());
  }
  handedOver_.position = position_;
  handedOver_.from = std::move(from);
  handedOver_.to = std::move(to);
  handedOver_.status = status;
  handedOver_.source.assign(source_);
  handedOver_.destination.assign(destination_);
  switch (pool_->fill(handedOver_)) {
    case FillPool::Handover::taken:
      return {};
    case FillPool::Handover::givenBack: {
      UniqueFd source = std::move(handedOver_.from);
      return steps_.fillFile(source.get(), std::move(handedOver_.to), status, ends());
    }
    case FillPool::Handover::refused:
      break;
  }
  // A worker failed: the walk stops at its next step.
  return {};
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

size_t defaultCopyWorkers() { return std::clamp<size_t>(usableProcessors(), 1, kMostCopyWorkers); }

Result<void> copyTree(const std::string& source, int folder, const std::string& name, const std::string& shownPath,
                      const std::function<Result<void>(int)>& onCreated, size_t workers) {
  TreeCopier copier(source, shownPath, onCreated);
  return copier.copy(folder, name, workers);
}

}  // namespace installer
