#pragma once

#include <sys/types.h>

#include <memory>
#include <string_view>

#include "platform/result.h"

namespace installer {

// Making a copy survive a power loss.  A copy is written, made durable, renamed into
// place, and the rename made durable; so after a power loss at any moment the place
// holds the whole old item or the whole new one.  Errors say "flushing <path>".

// For each file of a copy, `size` bytes long, once it is written and before it is
// closed: does or starts what brings its data to the disk.
Result<void> flushFileOfCopy(int file, off_t size, std::string_view shownPath);

// The pieces a large file of a copy is written in, each handed on to the disk as soon
// as it is written (startWritingBack), so that the disk writes a file while the rest
// of it and the next files are copied; 0 where files are written whole.
off_t writingBackPiece();

// Starts bringing the `length` bytes at `offset` of the copy `file` to the disk,
// without waiting for it.
Result<void> startWritingBack(int file, off_t offset, off_t length, std::string_view shownPath);

// While a copy is made in the open folder `folder`: gets the disk writing what the
// copy's small files hold while the copy goes on, so that the flush before the rename
// finds little left.  On Linux a thread flushes the file system (syncfs) each time
// another 16 MiB of small files are written, until this is destroyed, which waits for
// it; on macOS each file is flushed as it is finished and nothing runs.  Its flushes
// only get ahead of the flush before the rename, which reports a failed write whether
// or not they met it first (the file system keeps a failure for each open item to
// hear of once).
class WritingBackMeanwhile {
public:
  explicit WritingBackMeanwhile(int folder);
  ~WritingBackMeanwhile();
  WritingBackMeanwhile(const WritingBackMeanwhile&) = delete;
  WritingBackMeanwhile& operator=(const WritingBackMeanwhile&) = delete;

  // A file of `size` bytes is written and handed on (flushFileOfCopy).  Any thread.
  void written(off_t size);

private:
  struct State;
  std::unique_ptr<State> state_;
};

// Before the rename that puts a finished copy in place: everything written to the
// file system that holds the open item `copy` reaches the disk before the rename can.
Result<void> flushBeforeRename(int copy, std::string_view shownPath);

// After that rename: the entries of the open folder `folder` are on the disk.
Result<void> flushFolder(int folder, std::string_view shownPath);

// Whether `error`, from a file system control that flushes (macOS's F_BARRIERFSYNC and
// F_FULLFSYNC), says only that the file system offers no such control, so that a
// plain fsync takes its place: ENOTTY, ENOTSUP, EOPNOTSUPP, EINVAL, ENOSYS.  Any
// other error, above all EIO, is a failed flush.
bool flushControlUnsupported(int error);

}  // namespace installer
