#pragma once

#include <optional>
#include <string>

#include "install/copy_tree.h"
#include "platform/rename.h"
#include "platform/result.h"

namespace installer {

// What putting a copy in place came to, once it is in place.
struct Replacement {
  // An item stood at the destination and the copy took its place.
  bool replacedExisting = false;
  // The item it replaced could not be removed.  It stays under its temporary name,
  // and the next install of the same name removes it.
  std::optional<Error> leftover;
};

// The temporary sibling names used for the bundle named `name`: "." + name + "." +
// twelve letters or digits.
bool isTemporaryNameFor(const std::string& candidate, const std::string& name);

// Puts a copy of the item at `source` at `destination` (the item's own path, not its
// folder) without ever leaving the destination empty or half-written, even after a
// power loss:
//   1. removes temporary siblings that an interrupted earlier install of the same
//      name left behind (never one that a running install is still filling);
//   2. copies `source` into a new temporary sibling ".<name>.<random>", locked from
//      the moment it exists, and flushes it to the disk;
//   3. swaps it with whatever stands at `destination` in one step, or renames it
//      there when nothing does (never replacing an item that appeared meanwhile), and
//      flushes the folder;
//   4. removes the item swapped out.
// On a file system that cannot swap, step 3 sets the old item aside under a name no
// clean-up ever takes (".<name>.previous.<random>"), renames the copy in, and puts
// the old item back should that fail.
// On failure the copy is removed again and whatever stood at the destination stands
// there unchanged; the Error says what failed, and, when the old item could not be put
// back, that too and where it was kept.  Only when the folder cannot be flushed after
// the rename is the new copy already in place, and the Error says so.  A copy that
// another program locked or replaced under this run fails it.  Logs nothing.
// `workers` fill the copy's files (see copyTree).
Result<Replacement> replaceWithCopy(const std::string& source, const std::string& destination,
                                    Renames& renames = systemRenames(), size_t workers = defaultCopyWorkers());

}  // namespace installer
