#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/folder.h"
#include "platform/result.h"

namespace installer {

// How many workers fill files in a copy: one per processor this process may run on,
// at most 8.  There is no option: tests and the benchmark choose their own count.
size_t defaultCopyWorkers();

// How a copy shares out the descriptors it may open.
struct CopyBudget {
  size_t heldLevels = 0;         // folders each walk (the source's, the copy's) keeps open
  size_t queueLength = 0;        // files handed to the workers and not taken yet
  size_t unfinishedFolders = 0;  // folders whose finish waits for their files
  size_t workers = 1;            // the walk and the threads beside it; 1: the walk alone
};

// The budget of a copy with `workers` workers when `freeDescriptors` are free: as many
// as it uses best while plenty are free, fewer of everything (down to one worker) while
// few are, so that an ordinary bundle copies within 64.  Nothing when too few are free
// for any copy.
std::optional<CopyBudget> planCopy(size_t freeDescriptors, size_t workers);

// Copies the item at `source` to a new item named `name` in the open folder
// `folder`; `shownPath` is the new item's path, as descriptions name it.
//
// The item may be a folder, copied with everything in it, or a regular file; a
// symbolic link in its place is refused, as are device nodes, FIFOs and sockets
// anywhere (a FIFO is never opened), and folders nested deeper than
// kDeepestFolderNesting.  Links inside a folder are copied as links and never
// followed, dangling and absolute ones included; files hard-linked to each other
// inside it stay linked, and holes in sparse files stay holes.  The copy keeps
// permission bits, access and modification times to the nanosecond, and extended
// attributes (user.* on Linux); it belongs to the user running the tool, never has
// the set-user-ID or set-group-ID bit, and, made by root, is not writable by others.
// A folder gets its permissions and times once everything in it is finished, so
// read-only folders copy fine.  The walk uses an explicit stack and the descriptors
// this process has free (see planCopy: too few, and it fails before it makes
// anything), and its memory does not grow with the tree's size, file count or depth.
// Each file's data is handed on for durability (see platform/durability.h) before it
// is closed.
//
// The calling thread walks the tree and creates its items, and is one of the
// `workers` that fill the files: the others are threads that fill what it hands over
// while it walks on, and it fills files itself when they are behind, a large one a
// piece at a time.  With one worker, the calling thread fills every file and no
// thread is started.  Every thread is joined before copyTree returns.
//
// `onCreated`, when given, is called with a descriptor of the new top item right
// after it is created, before anything is copied into it; an Error it returns ends
// the copy with that Error.
//
// On failure, the Error of the first failure in walk order, "<system text>
// (<operation> <path>)", however many workers there are and whichever of them met it
// first.  A failed copy may leave a partial item at `name`: removing it is the
// caller's business.
Result<void> copyTree(const std::string& source, int folder, const std::string& name, const std::string& shownPath,
                      const std::function<Result<void>(int)>& onCreated = {}, size_t workers = defaultCopyWorkers());

}  // namespace installer
