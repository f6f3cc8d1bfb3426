// Linux only: syncfs, which flushes a whole file system at once, and sync_file_range.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/durability.h"
#include "platform/error.h"

namespace installer {

namespace {

constexpr off_t kStartWritingBackFrom = 8 << 20;

}  // namespace

Result<void> flushFileOfCopy(int file, off_t size, std::string_view shownPath) {
  // The one syncfs before the rename writes every file's data at once, far cheaper
  // than a flush of each.  A large file's writing back is started here already,
  // without waiting for it, so that the disk works on it while the next files are
  // copied and syncfs finds less left to do; small ones are not worth a call.
  if (size >= kStartWritingBackFrom && ::sync_file_range(file, 0, 0, SYNC_FILE_RANGE_WRITE) != 0) {
    return systemError(errno, "flushing", shownPath);
  }
  return {};
}

Result<void> flushBeforeRename(int copy, std::string_view shownPath) {
  // syncfs writes the file system's data and metadata, commits its journal and
  // flushes the disk's cache, and (since Linux 5.8) reports a write that failed
  // earlier.  Only then may the rename that publishes the copy reach the journal; on
  // ext4 a journal commit alone keeps names but not the data behind them.
  if (::syncfs(copy) != 0) {
    return systemError(errno, "flushing", shownPath);
  }
  return {};
}

Result<void> flushFolder(int folder, std::string_view shownPath) {
  // Commits the rename itself before the run reports success.
  if (::fsync(folder) != 0) {
    return systemError(errno, "flushing", shownPath);
  }
  return {};
}

}  // namespace installer
