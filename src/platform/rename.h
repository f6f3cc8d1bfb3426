#pragma once

namespace installer {

// Swaps the items named `first` and `second` in the open folder `folder` in one
// step; either may be a folder, a file or a link.  0, or the errno of the failure:
// ENOENT when either is missing; EINVAL, ENOSYS or ENOTSUP when the file system
// cannot swap.
int exchangeItems(int folder, const char* first, const char* second);

// Renames `from` to `to` in the open folder `folder` unless something stands at `to`
// (then EEXIST).  0, or the errno of the failure; EINVAL, ENOSYS or ENOTSUP when the
// file system cannot promise not to replace.
int renameWithoutReplacing(int folder, const char* from, const char* to);

}  // namespace installer
