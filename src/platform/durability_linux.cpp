// Linux only: syncfs, which flushes a whole file system at once.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/durability.h"
#include "platform/error.h"

namespace installer {

Result<void> flushFileOfCopy(int, std::string_view) {
  // Nothing per file: one syncfs before the rename writes every file's data at once,
  // far cheaper than a flush of each file.
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
