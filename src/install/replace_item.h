#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "install/copy_tree.h"
#include "platform/folder_changes.h"
#include "platform/processes.h"
#include "platform/result.h"

namespace installer {

// What putting a copy in place came to, once it is in place.
struct Replacement {
  // An item stood at the destination and the copy took its place.
  bool replacedExisting = false;
  // The item it replaced could not be removed.  It stays under its temporary name,
  // and the next install of the same name removes it.
  std::optional<Error> leftover;
  // The processes whose executable lay inside the item it replaced, found just before
  // the swap (see processesRunningFrom); none when nothing stood there.
  std::vector<pid_t> running;
};

// The temporary sibling names used for the bundle named `name`: "." + name + "." +
// twelve letters or digits.
bool isTemporaryNameFor(const std::string& candidate, const std::string& name);

// What an item under a temporary name is, by the mark this tool sets on it: a copy
// being made (or left by an install that died while making it), or the item a copy
// replaced, set aside to be removed.  The mark is an extended attribute that names the
// temporary name the item stands under; only those who may change the item can set
// it, and a copy never carries one over from an image, so an item merely renamed to a
// temporary's name is never taken for one.
enum class Temporary { copy, replaced };
Result<void> markTemporary(int item, Temporary kind, std::string_view name);
// The kind the open item is marked as for the name `name`; nothing when it bears no
// mark, or one for another name.
std::optional<Temporary> temporaryMark(int item, std::string_view name);

// Puts a copy of the item at `source` at `destination` (the item's own path, not its
// folder) without ever leaving the destination empty or half-written, even after a
// power loss:
//   1. copies `source` into a new temporary sibling ".<name>.<random>", created
//      private to this user and locked and marked from the moment it exists, and
//      flushes it to the disk;
//   2. swaps it with whatever stands at `destination` in one step, or renames it
//      there when nothing does (never replacing an item that appeared meanwhile), and
//      flushes the folder;
//   3. removes the item swapped out, marked beforehand so that a later install removes
//      it should this one die first, and marked again right after the swap, since
//      another install of the same name may have swapped in between: whatever the
//      swap put under the temporary name goes;
//   4. then, whatever came of the install, removes what interrupted earlier installs
//      of the same name left behind: items under a temporary name that this user owns
//      and this tool marked, never a copy that a running install is still making.
//      Only after the install, so that however much there is, it never delays it.
// A removal leaves folders nested deeper than kDeepestFolderNesting, and a replaced
// item left so is a leftover like one the system refused to remove.
// On a file system that cannot swap, step 3 sets the old item aside under a name no
// clean-up ever takes (".<name>.previous.<random>"), renames the copy in, and puts
// the old item back should that fail.
// On failure the copy is removed again and whatever stood at the destination stands
// there unchanged; the Error says what failed (and when the system refused the
// replacement itself, that the program starting the tool may lack a permission), and,
// when the old item could not be put back, that too and where it was kept.  Only when
// the folder cannot be flushed after the rename is the new copy already in place, and
// the Error says so.  A copy that another program locked or replaced under this run
// fails it.  No lock that another user can take is ever waited for.  Logs nothing.
// `workers` fill the copy's files (see copyTree).
Result<Replacement> replaceWithCopy(const std::string& source, const std::string& destination,
                                    FolderChanges& changes = systemFolderChanges(),
                                    size_t workers = defaultCopyWorkers());

}  // namespace installer
