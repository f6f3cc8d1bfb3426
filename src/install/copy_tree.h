#pragma once

#include <functional>
#include <string>

#include "platform/result.h"

namespace installer {

// Copies the item at `source` to a new item named `name` in the open folder
// `folder`; `shownPath` is the new item's path, as descriptions name it.
//
// The item may be a folder, copied with everything in it, a regular file, or a
// symbolic link, which is copied as a link and never followed (dangling and absolute
// ones included, and at the top as well).  The copy keeps permission bits, access and
// modification times to the nanosecond, and extended attributes (user.* on Linux);
// it belongs to the user running the tool and never has the set-user-ID or
// set-group-ID bit.  A folder gets its permissions and times once it is filled, so
// read-only folders copy fine.  Device nodes, FIFOs and sockets are refused (a FIFO
// is never opened).  Memory use does not grow with the tree's size or file count.
//
// `onCreated`, when given, is called with a descriptor of the new top item right
// after it is created, when it is a folder or a file.
//
// On failure, the Error of the first failure, "<system text> (<operation> <path>)".  A
// failed copy may leave a partial item at `name`: removing it is the caller's business.
Result<void> copyTree(const std::string& source, int folder, const std::string& name,
                                    const std::string& shownPath,
                                    const std::function<void(int)>& onCreated = {});

}  // namespace installer
