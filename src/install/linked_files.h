#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/folder.h"

namespace installer {

// The files a copy has met that have more names in the bundle than the ones met so
// far, and where the copy of each was made, so that their later names become hard
// links to it, at any depth.  Its memory stays within a fixed bound however many such
// files there are, in the bundle or outside it (names that never come): it keeps each
// file's own name and one node per folder on the way to it, shared by every file
// below that folder and freed when no file below it is waiting any more.  Past the
// bound, a file is not remembered, and its later names become copies of their own.
class LinkedFiles {
public:
  // Where a remembered file's copy is: the folders from below the top down to the
  // one that holds it, and its name there.
  struct Place {
    std::vector<std::string> folders;
    std::string name;
  };

  LinkedFiles();

  // The walk goes down into the folder `name` of the current one (the top first), or
  // comes back up out of the current one.
  void enterFolder(std::string_view name);
  void leaveFolder();

  // Remembers that the file `identity`, copied as `name` in the current folder, has
  // `namesLeft` names still to come.
  void remember(const ItemIdentity& identity, std::string_view name, std::uint64_t namesLeft);

  // Where the copy of the file `identity` is, when it is remembered; counts one of its
  // names as come, and forgets it once none is left.
  std::optional<Place> take(const ItemIdentity& identity);

  // What it holds now, in bytes, roughly: for tests of its bound.
  size_t bytes() const { return bytes_; }

  // The most it ever holds.
  static constexpr size_t kMostBytes = size_t{4} << 20;

private:
  struct Node {
    std::uint32_t parent;
    std::uint32_t holds;  // the walk's path, files remembered in it, and nodes below it
    std::string name;
  };
  struct File {
    std::uint32_t folder;
    std::string name;
    std::uint64_t namesLeft;
  };

  std::uint32_t newNode(std::uint32_t parent, std::string_view name);
  void release(std::uint32_t node);
  static size_t costOf(std::string_view name) { return sizeof(Node) + sizeof(File) + 64 + name.size(); }

  std::vector<Node> nodes_;
  std::vector<std::uint32_t> freeNodes_;
  std::vector<std::uint32_t> path_;  // the walk's current folders, the top first
  std::map<ItemIdentity, File> files_;
  size_t bytes_ = 0;
};

}  // namespace installer
