// macOS only: fsync and the F_BARRIERFSYNC and F_FULLFSYNC controls.
//
// On macOS fsync hands a file's data to the disk but not through the disk's own
// cache, which may reorder writes or lose them on a power loss.  F_FULLFSYNC also
// empties that cache, which is slow; F_BARRIERFSYNC instead puts a barrier behind the
// writes so far: the disk writes nothing issued after it before everything issued
// before it.  There is no flush of a whole file system, so each file is handed to the
// disk with fsync, one barrier then orders all of them (and the new folders, whose
// metadata APFS writes in order anyway) before the rename, and one F_FULLFSYNC makes
// the rename itself durable before the run reports success.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/durability.h"
#include "platform/error.h"

namespace installer {

namespace {

// A file system that knows no such control (some network and third-party ones) gets
// a plain fsync.  They say "unsupported" in several ways, some with ENOTTY; only from
// macOS 14 does the kernel itself retry a refused barrier as a full flush.
int control(int fd, int command) {
  if (::fcntl(fd, command) == 0) {
    return 0;
  }
  if (!flushControlUnsupported(errno)) {
    return -1;
  }
  return ::fsync(fd);
}

}  // namespace

Result<void> flushFileOfCopy(int file, off_t, std::string_view shownPath) {
  if (::fsync(file) != 0) {
    return systemError(errno, "flushing", shownPath);
  }
  return {};
}

struct WritingBackMeanwhile::State {};

// fsync hands each file to the disk as it is finished: nothing to add meanwhile.
WritingBackMeanwhile::WritingBackMeanwhile(int) {}
WritingBackMeanwhile::~WritingBackMeanwhile() = default;
void WritingBackMeanwhile::written(off_t) {}

// fsync hands each file whole to the disk once it is written.
off_t writingBackPiece() { return 0; }

Result<void> startWritingBack(int, off_t, off_t, std::string_view) { return {}; }

Result<void> flushBeforeRename(int copy, std::string_view shownPath) {
#ifdef F_BARRIERFSYNC
  const int command = F_BARRIERFSYNC;
#else
  const int command = F_FULLFSYNC;  // older SDKs: the full flush orders as well
#endif
  if (control(copy, command) != 0) {
    return systemError(errno, "flushing", shownPath);
  }
  return {};
}

Result<void> flushFolder(int folder, std::string_view shownPath) {
  if (control(folder, F_FULLFSYNC) != 0) {
    return systemError(errno, "flushing", shownPath);
  }
  return {};
}

}  // namespace installer
