#pragma once

#include <string>

#include "platform/result.h"

namespace installer {

// The two renames that differ between systems, within one open folder `folder`:
// rename_linux.cpp (renameat2) and rename_macos.cpp (renameatx_np).  Each Error
// carries the system's error number.

// Swaps the items named `first` and `second` in one step; either may be a folder, a
// file or a link.  ENOENT when either is missing; EINVAL, ENOSYS or ENOTSUP when the
// file system cannot swap.
Result<void> swapItems(int folder, const std::string& first, const std::string& second);

// Renames `from` to `to` unless something stands at `to` (then EEXIST); EINVAL,
// ENOSYS or ENOTSUP when the file system cannot promise not to replace.
Result<void> renameExclusively(int folder, const std::string& from, const std::string& to);

// Renames `from` to `to` in `folder`, replacing whatever file or empty folder stands
// at `to`.
Result<void> renameReplacing(int folder, const std::string& from, const std::string& to);

// The Error of a rename from `from` to `to` that failed with `error`.
Error renameFailed(int error, const std::string& from, const std::string& to);

}  // namespace installer
