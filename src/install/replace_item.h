#pragma once

#include <optional>
#include <string>

namespace installer {

// What putting a copy in place came to.
struct Replacement {
  // Set when the copy is not in place; the first failure's description.  Whatever
  // stood at the destination then stands there unchanged.
  std::optional<std::string> failure;
  // An item stood at the destination and the copy took its place.
  bool replacedExisting = false;
  // The copy is in place, but the item it replaced could not be removed; the
  // failure's description.  The item stays under its temporary name, and the next
  // install of the same name removes it.
  std::optional<std::string> leftover;
};

// The temporary sibling names used for the bundle named `name`: "." + name + "." +
// twelve letters or digits.
bool isTemporaryNameFor(const std::string& candidate, const std::string& name);

// Puts a copy of the item at `source` at `destination` (the item's own path, not its
// folder) without ever leaving the destination empty or half-written:
//   1. removes temporary siblings that an interrupted earlier install of the same
//      name left behind (never one that a running install is still filling);
//   2. copies `source` into a new temporary sibling ".<name>.<random>";
//   3. swaps it with whatever stands at `destination` in one step, or renames it
//      there when nothing does (never replacing an item that appeared meanwhile);
//   4. removes the item swapped out.
// A failed copy is removed again.  Logs nothing.
Replacement replaceWithCopy(const std::string& source, const std::string& destination);

}  // namespace installer
