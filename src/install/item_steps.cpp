#include "install/item_steps.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/durability.h"
#include "platform/error.h"

namespace installer {

namespace {

// Permission bits the copy may keep: read, write, execute and, on folders, sticky.
// Set-user-ID and set-group-ID are dropped: an installed bundle must not hand its
// privileges to whoever runs it just because the image said so.
constexpr mode_t kFilePermissions = 0777;
constexpr mode_t kFolderPermissions = 01777;

}  // namespace

CopyRules CopyRules::forThisProcess() {
  CopyRules rules;
  rules.mask = ::umask(0);
  ::umask(rules.mask);
  // Installed by root, the copy is what every user runs later: all of them may read
  // it, as anyone who can attach the image can, and none of them may change it,
  // whatever the image says.
  const bool byRoot = ::geteuid() == 0;
  const mode_t dropped = byRoot ? S_IWOTH : 0;
  rules.filePermissions = kFilePermissions & ~dropped;
  rules.folderPermissions = kFolderPermissions & ~dropped;
  rules.readers = byRoot ? CopyRules::Readers::everyone : CopyRules::Readers::asInImage;
  return rules;
}

Result<ItemSteps::Copied> ItemSteps::fillFile(int from, UniqueFd& to, const struct stat& status, mode_t createdMode,
                                              off_t& done, Portion portion, const CopyEnds& ends) {
  Result<Copied> copied = content_.copyData(from, to.get(), status, done, portion, ends);
  if (!copied || *copied == Copied::partly) {
    return copied;
  }
  if (Result<void> attributes = content_.copyAttributes(from, to.get(), status, ends); !attributes) {
    return attributes.error();
  }
  const mode_t wanted = rules_.fileMode(status);
  if (createdMode != wanted && ::fchmod(to.get(), wanted) != 0) {
    return systemError(errno, "setting permissions of", ends.destination);
  }
  if (::futimens(to.get(), itemTimes(status).data()) != 0) {
    return systemError(errno, "setting times of", ends.destination);
  }
  if (Result<void> flushed = flushFileOfCopy(to.get(), status.st_size, ends.destination); !flushed) {
    return flushed.error();
  }
  if (writingBack_ != nullptr) {
    writingBack_->written(status.st_size);
  }
  // Some file systems report a failed write only when the file is closed.
  if (::close(to.release()) != 0 && errno != EINTR) {
    return writingFailed(errno, ends);
  }
  return Copied::wholly;
}

Result<void> ItemSteps::finishFolder(int from, int to, const struct stat& status, const CopyEnds& ends) {
  // Attributes first: writing them needs the owner's write permission, which the
  // final bits may take away.  The times come last, as everything before them counts
  // as a change.
  if (Result<void> copied = content_.copyAttributes(from, to, status, ends); !copied) {
    return copied;
  }
  if (::fchmod(to, rules_.folderMode(status)) != 0) {
    return systemError(errno, "setting permissions of", ends.destination);
  }
  if (::futimens(to, itemTimes(status).data()) != 0) {
    return systemError(errno, "setting times of", ends.destination);
  }
  return {};
}

}  // namespace installer
