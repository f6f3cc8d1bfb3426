#pragma once

#include <functional>
#include <string>

#include "platform/result.h"

namespace installer {

// The deepest a bundle may nest folders, its own folder counted.  Real bundles stay
// within a few dozen levels, and macOS cannot even name a path more than about 512
// levels deep (PATH_MAX is 1024 bytes, each level takes two at least); twice that is
// beyond anything an image can mean, and keeps a hostile one from having a run build
// (and a later run remove) an endless tree.
constexpr size_t kDeepestFolderNesting = 1024;

// How many workers fill files in a copy: one per processor this process may run on,
// at most 8.  There is no option: tests and the benchmark choose their own count.
size_t defaultCopyWorkers();

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
// read-only folders copy fine.  The walk uses an explicit stack and a bounded number
// of descriptors, and its memory does not grow with the tree's size or file count.
// Each file's data is handed on for durability (see platform/durability.h) before it
// is closed.
//
// The calling thread walks the tree and creates its items while `workers` threads
// fill the files; with one worker, the calling thread fills them itself and no thread
// is started.  Every thread is joined before copyTree returns.
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
