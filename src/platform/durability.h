#pragma once

#include <sys/types.h>

#include <string_view>

#include "platform/result.h"

namespace installer {

// Making a copy survive a power loss.  A copy is written, made durable, renamed into
// place, and the rename made durable; so after a power loss at any moment the place
// holds the whole old item or the whole new one.  Errors say "flushing <path>".

// For each file of a copy, `size` bytes long, once it is written and before it is
// closed: does or starts what brings its data to the disk.
Result<void> flushFileOfCopy(int file, off_t size, std::string_view shownPath);

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
