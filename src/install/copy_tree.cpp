#include "install/copy_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <optional>
#include <string>

#include "install/fill_pool.h"
#include "install/item_steps.h"
#include "install/linked_files.h"
#include "platform/descriptors.h"
#include "platform/durability.h"
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

// Files handed to the workers and not taken yet, and folders whose finish waits for
// files inside them, when descriptors are plenty: each holds two.
constexpr size_t kMostQueuedFiles = 16;
constexpr size_t kMostUnfinishedFolders = 16;

// Descriptors the copy leaves for what else is open meanwhile: the standard streams,
// the destination folder and the copy's lock, the system logger, a folder being listed,
// and the walk's own file (two).
constexpr size_t kCopyReserve = 10;

// Opening flags for anything read from the source: never follow a link, never wait
// on a FIFO that took a file's place, never take a terminal.
constexpr int kSourceFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// The item being copied is the copy's top, or an item inside it.
enum class Depth { top, inside };

// What a step of the walk leaves the walk to do: go on, or stop because a worker
// failed (its failure, recorded in the pool, is the one to report).
enum class Next { goOn, stopForWorkerFailure };

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

// One folder on the walk's stack: a folder whose copy is being filled.  Its
// descriptors, and those of its copy, are in the walk's two trails.
struct FolderCopy {
  struct stat status {};  // the source folder's: its permissions and times
  Listing entries;
  size_t next = 0;            // the entry to copy next
  WalkPosition created = 0;   // the position of the step that created it
  size_t sourceLength = 0;    // of the two paths, at this folder
  size_t destinationLength = 0;
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
// number of open descriptors (see CopyBudget) whatever the depth.
//
// The walk (walk, copyEntry, enterFolder, finishFolderLeft) runs on the calling
// thread.  It visits the entries in listing order and does what changes names: it
// creates folders and files, makes links and hard links, and keeps the stack.  The
// work on each file's contents is ItemSteps::fillFile, which needs nothing of the
// walk: with more than one worker, each created file goes to a FillPool, whose threads
// fill it while the walk goes on.  A folder gets its finish (ItemSteps::finishFolder,
// on this thread) once every file inside it is filled, after its subfolders: until
// then it waits among the unfinished folders, which are in walk order, so each after
// its subfolders.  With one worker the walk fills each file itself, and finishes each
// folder as it leaves it.
//
// Each step of the walk has a position (see WalkPosition); of several failures, the
// walk's own and the workers', the one reported is the earliest in walk order.
class TreeCopier {
public:
  TreeCopier(const std::string& source, const std::string& shownPath, const CopyBudget& budget,
             const std::function<Result<void>(int)>& onCreated, WritingBackMeanwhile* writingBack)
      : source_(source),
        destination_(shownPath),
        onCreated_(onCreated),
        budget_(budget),
        sources_(budget.heldLevels),
        destinations_(budget.heldLevels),
        rules_(CopyRules::forThisProcess()),
        writingBack_(writingBack),
        steps_(rules_, writingBack) {}

  Result<void> copy(int folder, const std::string& name) {
    // The walk is one of the workers: it fills files too when the others are behind.
    if (budget_.workers > 1) {
      pool_.emplace(budget_.workers - 1, budget_.queueLength, rules_, writingBack_);
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
    for (UnfinishedFolder& unfinished : unfinished_) {
      if (failure && failure->position <= unfinished.position) {
        break;
      }
      if (Result<void> finished = finish(unfinished); !finished) {
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
  Result<Next> copyEntry(int sourceFolder, const char* name, unsigned char type, int folder);
  Result<void> enterFolder(UniqueFd from, const struct stat& status, int folder, const char* name, Depth depth);
  Result<Next> finishFolderLeft();
  Result<void> finishFilledFolders();
  Result<void> finish(UnfinishedFolder& folder);
  // Whether no file inside the folder created at `created` and finished at `finished`
  // was among the unfilled ones when they were last looked at.
  bool filledInside(WalkPosition created, WalkPosition finished) const {
    return std::none_of(unfilled_.begin(), unfilled_.end(),
                        [&](WalkPosition file) { return file > created && file < finished; });
  }
  Result<Next> copyFile(UniqueFd from, const struct stat& status, int folder, const char* name, Depth depth);
  Result<void> linkToFirstCopy(const LinkedFiles::Place& first, int folder, const char* name);
  Result<void> copyLink(int sourceFolder, const char* name, const struct stat& status, int folder);

  Result<void> created(int fd, Depth depth) {
    return depth == Depth::top && onCreated_ ? onCreated_(fd) : Result<void>();
  }
  Error refused(std::string_view what) const { return failure(what, "copying", source_); }
  Error onSource(int error, std::string_view operation) const { return systemError(error, operation, source_); }
  Error onCopy(int error, std::string_view operation) const { return systemError(error, operation, destination_); }
  CopyEnds ends() const { return CopyEnds{source_, destination_}; }

  // The two paths grow and shrink as the walk goes down and up, so they are only
  // ever as long as the deepest path.
  std::string source_;
  std::string destination_;
  const std::function<Result<void>(int)>& onCreated_;
  const CopyBudget budget_;
  // A deque: entries' names point into the folders' listings, which must not move
  // when a folder is pushed.
  std::deque<FolderCopy> stack_;
  // The open folders along the walk's path, in the source and in the copy.
  FolderTrail sources_;
  FolderTrail destinations_;
  LinkedFiles linked_;
  const CopyRules rules_;
  WritingBackMeanwhile* const writingBack_;
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
      if (Result<void> entered = enterFolder(std::move(*from), status, folder, name.c_str(), Depth::top);
          !entered) {
        return entered;
      }
      return walk();
    case S_IFREG:
      if (Result<Next> copied = copyFile(std::move(*from), status, folder, name.c_str(), Depth::top); !copied) {
        return copied.error();
      }
      return {};
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
    Result<Next> step = Next::goOn;
    if (current.next == current.entries.size()) {
      step = finishFolderLeft();
    } else {
      const size_t index = current.next++;
      const char* name = current.entries.name(index);
      source_.append(1, '/').append(name);
      destination_.append(1, '/').append(name);
      step = copyEntry(sources_.innermost(), name, current.entries.type(index), destinations_.innermost());
    }
    if (!step) {
      return step.error();
    }
    if (*step == Next::stopForWorkerFailure) {
      return {};
    }
  }
  return {};
}

// The folder at the top of the stack has been walked: the walk leaves it, and it is
// finished now if all the files inside it are filled, or else joins the unfinished
// folders.
Result<Next> TreeCopier::finishFolderLeft() {
  FolderCopy done = std::move(stack_.back());
  stack_.pop_back();
  const size_t parentSource = stack_.empty() ? 0 : stack_.back().sourceLength;
  const size_t parentDestination = stack_.empty() ? 0 : stack_.back().destinationLength;
  Result<UniqueFd> from = sources_.leave(std::string_view(source_.data(), parentSource));
  if (!from) {
    return from.error();
  }
  Result<UniqueFd> to = destinations_.leave(std::string_view(destination_.data(), parentDestination));
  if (!to) {
    return to.error();
  }
  linked_.leaveFolder();
  // One look at the workers' progress serves this folder and the unfinished ones, so
  // that none is found filled while a subfolder of its is not.
  if (!pool_ || (pool_->unfilled(unfilled_) && filledInside(done.created, position_))) {
    // Its unfinished subfolders are filled too and come first.
    if (pool_) {
      if (Result<void> finished = finishFilledFolders(); !finished) {
        return finished.error();
      }
    }
    if (Result<void> finished = steps_.finishFolder(from->get(), to->get(), done.status, ends()); !finished) {
      return finished.error();
    }
    return Next::goOn;
  }
  unfinished_.push_back(UnfinishedFolder{done.created, position_, std::move(*from), std::move(*to), done.status,
                                         source_, destination_});
  if (Result<void> finished = finishFilledFolders(); !finished) {
    return finished.error();
  }
  // Too many wait, each holding two descriptors: the walk waits for the earliest.
  if (unfinished_.size() > budget_.unfinishedFolders) {
    const UnfinishedFolder& earliest = unfinished_.front();
    if (!pool_->waitForFilesBetween(earliest.created, earliest.position) || !pool_->unfilled(unfilled_)) {
      return Next::stopForWorkerFailure;
    }
    if (Result<void> finished = finishFilledFolders(); !finished) {
      return finished.error();
    }
  }
  return Next::goOn;
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

Result<Next> TreeCopier::copyEntry(int sourceFolder, const char* name, unsigned char type, int folder) {
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
      if (Result<void> entered = enterFolder(std::move(*from), status, folder, name, Depth::inside); !entered) {
        return entered.error();
      }
      return Next::goOn;
    case S_IFREG:
      return copyFile(std::move(*from), status, folder, name, Depth::inside);
    case S_IFLNK:
      if (Result<void> linked = copyLink(sourceFolder, name, status, folder); !linked) {
        return linked.error();
      }
      return Next::goOn;
    default:
      return refused(std::string(kindOfNonFile(status.st_mode)) + " cannot be part of an application bundle");
  }
}

Result<void> TreeCopier::enterFolder(UniqueFd from, const struct stat& status, int folder, const char* name,
                                     Depth depth) {
  // Owner-only until it is filled: a read-only source folder must still take the
  // copies of its entries, and nobody else should see it half-made, nor open it.
  if (::mkdirat(folder, name, 0700) != 0) {
    return onCopy(errno, "creating");
  }
  UniqueFd to(::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat copyStatus {};
  if (!to || ::fstat(to.get(), &copyStatus) != 0) {
    return onCopy(errno, "opening");
  }
  if (Result<void> announced = created(to.get(), depth); !announced) {
    return announced;
  }
  FolderCopy copy;
  if (Result<void> listed = copy.entries.read(from.get(), source_); !listed) {
    return listed;
  }
  sources_.enter(std::move(from), ItemIdentity::of(status));
  destinations_.enter(std::move(to), ItemIdentity::of(copyStatus));
  linked_.enterFolder(name);
  copy.status = status;
  copy.created = position_;
  copy.sourceLength = source_.size();
  copy.destinationLength = destination_.size();
  stack_.push_back(std::move(copy));
  return {};
}

Result<Next> TreeCopier::copyFile(UniqueFd from, const struct stat& status, int folder, const char* name,
                                  Depth depth) {
  // A file with several names in the bundle is copied once; its other names become
  // names of that copy, as cp -a keeps them.
  if (depth == Depth::inside && status.st_nlink > 1) {
    if (std::optional<LinkedFiles::Place> first = linked_.take(ItemIdentity::of(status))) {
      if (Result<void> linked = linkToFirstCopy(*first, folder, name); !linked) {
        return linked.error();
      }
      return Next::goOn;
    }
    linked_.remember(ItemIdentity::of(status), name, static_cast<std::uint64_t>(status.st_nlink) - 1);
  }
  // The top is owner-only until it is filled, as a folder is, so that nobody else
  // can open it meanwhile.
  const mode_t mode = depth == Depth::top ? (S_IRUSR | S_IWUSR) & ~rules_.mask : rules_.creationMode(status);
  UniqueFd to(::openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!to) {
    return onCopy(errno, "creating");
  }
  if (Result<void> announced = created(to.get(), depth); !announced) {
    return announced.error();
  }
  if (!pool_) {
    off_t done = 0;
    if (Result<ItemSteps::Copied> filled =
            steps_.fillFile(from.get(), to, status, mode, done, ItemSteps::Portion::rest, ends());
        !filled) {
      return filled.error();
    }
    return Next::goOn;
  }
  handedOver_.position = position_;
  handedOver_.from = std::move(from);
  handedOver_.to = std::move(to);
  handedOver_.status = status;
  handedOver_.createdMode = mode;
  handedOver_.done = 0;
  handedOver_.source.assign(source_);
  handedOver_.destination.assign(destination_);
  for (;;) {
    switch (pool_->fill(handedOver_)) {
      case FillPool::Handover::taken:
        return Next::goOn;
      case FillPool::Handover::refused:
        return Next::stopForWorkerFailure;
      case FillPool::Handover::givenBack:
        break;
    }
    switch (pool_->fillGivenBack(handedOver_, steps_)) {
      case FillPool::Turn::finished:
        return Next::goOn;
      case FillPool::Turn::unfinished:
        continue;  // offered to the workers again
      case FillPool::Turn::failed:
        return Next::stopForWorkerFailure;
    }
  }
}

Result<void> TreeCopier::linkToFirstCopy(const LinkedFiles::Place& first, int folder, const char* name) {
  // Its folder is opened one level at a time from the top of the copy, so that the
  // link works at any depth, however long the path.
  UniqueFd opened;
  int at = destinations_.top();
  for (const std::string& component : first.folders) {
    UniqueFd next(::openat(at, component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next) {
      return onCopy(errno, "creating");
    }
    opened = std::move(next);
    at = opened.get();
  }
  if (::linkat(at, first.name.c_str(), folder, name, 0) != 0) {
    return onCopy(errno, "creating");
  }
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

std::optional<CopyBudget> planCopy(size_t freeDescriptors, size_t workers) {
  constexpr size_t kFewestHeldLevels = 2;
  const size_t usable = freeDescriptors > kCopyReserve ? freeDescriptors - kCopyReserve : 0;
  // Each held level takes two descriptors: the source folder and its copy.
  if (usable < 2 * kFewestHeldLevels) {
    return std::nullopt;
  }
  CopyBudget budget;
  budget.heldLevels = std::clamp(usable / 4, kFewestHeldLevels, kMostHeldFolderLevels);
  // The rest for the workers: each queued file, waiting folder and file being filled
  // takes two.
  const size_t rest = usable - 2 * budget.heldLevels;
  budget.queueLength = std::clamp<size_t>(rest / 6, 1, kMostQueuedFiles);
  budget.unfinishedFolders = std::clamp<size_t>(rest / 6, 1, kMostUnfinishedFolders);
  const size_t inFlight = 2 * (budget.queueLength + budget.unfinishedFolders);
  budget.workers = std::min(workers, rest > inFlight ? (rest - inFlight) / 2 : 0);
  if (budget.workers < 2) {
    budget.workers = 1;  // the walk fills every file itself
  }
  return budget;
}

Result<void> copyTree(const std::string& source, int folder, const std::string& name, const std::string& shownPath,
                      const std::function<Result<void>(int)>& onCreated, size_t workers) {
  const size_t free = freeDescriptors();
  std::optional<CopyBudget> budget = planCopy(free, workers);
  if (!budget) {
    return failure("Too few file descriptors are free to copy a bundle (" + std::to_string(free) + ", at least " +
                       std::to_string(kCopyReserve + 4) + " are needed)",
                   "copying", source);
  }
  // With threads beside the walk, one more gets the disk writing meanwhile; the
  // descriptors the copy may hold get their room before any thread starts.
  std::optional<WritingBackMeanwhile> writingBack;
  if (budget->workers > 1) {
    makeRoomForDescriptors(folder, kCopyReserve + 2 * (budget->heldLevels + budget->queueLength +
                                                       budget->unfinishedFolders + budget->workers));
    writingBack.emplace(folder);
  }
  TreeCopier copier(source, shownPath, *budget, onCreated, writingBack ? &*writingBack : nullptr);
  return copier.copy(folder, name);
}

}  // namespace installer
