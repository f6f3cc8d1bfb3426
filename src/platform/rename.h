#pragma once

#include <string>

#include "platform/result.h"

namespace installer {

// The renames that put a finished copy in place, all within one open folder.  An
// interface, so that tests can play a file system that cannot swap or whose renames
// fail; the tool itself only ever uses systemRenames().  Each Error carries the
// system's error number.
class Renames {
public:
  virtual ~Renames() = default;

  // Swaps the items named `first` and `second` in one step; either may be a folder, a
  // file or a link.  ENOENT when either is missing; EINVAL, ENOSYS or ENOTSUP when the
  // file system cannot swap.
  virtual Result<void> exchange(int folder, const std::string& first, const std::string& second) = 0;

  // Renames `from` to `to` unless something stands at `to` (then EEXIST); EINVAL,
  // ENOSYS or ENOTSUP when the file system cannot promise not to replace.
  virtual Result<void> renameWithoutReplacing(int folder, const std::string& from, const std::string& to) = 0;

  // Renames `from` to `to`, replacing whatever file or empty folder stands at `to`.
  virtual Result<void> rename(int folder, const std::string& from, const std::string& to) = 0;
};

// The system's own renames.
Renames& systemRenames();

}  // namespace installer
