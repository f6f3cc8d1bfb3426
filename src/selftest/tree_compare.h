#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/result.h"

// Comparing a copy with its source item by item, as a bundle installed by the tool
// must match the bundle on the image.
namespace installer::selftest {

// What a copy must keep, one report line each.
enum class Aspect { items, modes, times, links, hardLinks, holes, attributes, resourceFork, hidden };
constexpr Aspect kAspects[] = {Aspect::items,      Aspect::modes, Aspect::times,
                               Aspect::links,      Aspect::hardLinks, Aspect::holes,
                               Aspect::attributes, Aspect::resourceFork, Aspect::hidden};
std::string_view aspectName(Aspect aspect);

struct Difference {
  Aspect aspect;
  // "Contents/MacOS/X: <what differs>".
  std::string text;
};

// One item of a tree as the comparison needs it; its data stay on the disk.
struct TreeItem {
  // The path below the tree's top, "" for the top itself.
  std::string path;
  struct stat status {};
  std::string linkTarget;
  std::vector<std::pair<std::string, std::string>> attributes;
  // The hidden flag, as the tool reads it.
  bool hidden = false;
};

// Every item of the tree at `root`, its top included, sorted by path.  Each status
// is taken before the item's folder is listed, so a copy's access times are as the
// copy made them.
using TreeSnapshot = std::vector<TreeItem>;
Result<TreeSnapshot> snapshotTree(const std::string& root);

// Takes each item's status again, and nothing else.  A source is snapshot, then
// restated just before it is copied: listing a folder may set its access time (where
// the access time is older than the last change, as it is in a tree just made), and
// the copy should keep the time it found.
Result<void> restat(TreeSnapshot& items, const std::string& root);

struct CompareRules {
  // The copy was made by root, which takes write permission for others away and
  // gives everyone read (and search, where the owner may) permission.
  bool byRoot = false;
  // Times and attributes are compared unless a file system in between (an ISO 9660
  // image) cannot keep them.
  bool times = true;
  bool attributes = true;
};

// The permission bits a copy of an item with `status` has: set-user-ID and
// set-group-ID dropped; o+w dropped and go+rX added when root made it.
mode_t keptMode(const struct stat& status, bool byRoot);

// What differs between the copy and its source.  Metadata come from the snapshots
// (the source's restated just before the copy), the files' data are read from both
// trees now.
std::vector<Difference> compareTrees(const TreeSnapshot& source, const std::string& sourceRoot,
                                     const TreeSnapshot& copy, const std::string& copyRoot,
                                     const CompareRules& rules);

}  // namespace installer::selftest
