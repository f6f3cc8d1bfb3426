#pragma once

#include <cstddef>
#include <string>

#include "platform/result.h"

namespace installer {

// Removes the item at `path`, a folder with everything inside it; never follows a
// symbolic link (a link is removed itself).  Folders inside whose owner may not read
// or change them (read-only folders of a copy the running user made) are opened up
// first.  No recursion, and the descriptors this process has free; its memory does
// not grow with the depth.  Folders nested deeper than kDeepestFolderNesting (the
// item's own counted) are left with what holds them, and the Error says so: nobody
// who keeps growing a chain of folders inside the item can hold the removal.  Entries
// that vanish meanwhile (another process removing the same tree) count as removed.
Result<void> removeItem(const std::string& path);

// Removes everything inside the open folder `folder`, as removeItem does, and leaves
// the folder itself, wherever it has been moved meanwhile.  `shownPath` names it in an
// Error.  With more than one worker, that many threads share the work (the calling
// thread among them), all joined before it returns; the Error is then the first
// failure in the order the folder's parts were handed out.
Result<void> removeContents(int folder, const std::string& shownPath, size_t workers = 1);

}  // namespace installer
