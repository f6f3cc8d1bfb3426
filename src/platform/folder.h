#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/fd.h"
#include "platform/result.h"

namespace installer {

// Owns one open folder stream and closes it when it goes out of scope.
class FolderStream {
public:
  explicit FolderStream(DIR* stream) : stream_(stream) {}
  ~FolderStream() {
    if (stream_ != nullptr) {
      ::closedir(stream_);
    }
  }
  FolderStream(const FolderStream&) = delete;
  FolderStream& operator=(const FolderStream&) = delete;
  DIR* get() const { return stream_; }

private:
  DIR* stream_;
};

inline bool isDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Calls `visit(const dirent&)`, which returns a Result<void>, for each entry of the
// open folder stream but "." and "..", in the order the file system gives them, and
// stops at the first failure.  `shownPath` names the folder in a listing's Error.
template <typename Visit>
Result<void> forEachEntry(DIR* stream, std::string_view shownPath, Visit&& visit) {
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream);
    if (entry == nullptr) {
      if (errno != 0) {
        return systemError(errno, "listing", shownPath);
      }
      return {};
    }
    if (isDotOrDotDot(entry->d_name)) {
      continue;
    }
    if (Result<void> visited = visit(*entry); !visited) {
      return visited;
    }
  }
}

// The entries of one folder, read at once, so that a walk need not keep the folder
// open while it visits them.  Its memory is that of the names alone, reused for the
// next folder when the instance is.
class Listing {
public:
  // Replaces what it holds with the entries of the open folder `folder`, "." and ".."
  // left out, in the order the file system gives them.  `shownPath` names the folder
  // in the Error.
  Result<void> read(int folder, std::string_view shownPath);

  size_t size() const { return entries_.size(); }
  const char* name(size_t index) const { return names_.data() + entries_[index].offset; }
  // The kind the listing gave: DT_REG, DT_DIR, DT_LNK, ... or DT_UNKNOWN.
  unsigned char type(size_t index) const { return entries_[index].type; }
  // The memory it holds.
  size_t bytes() const { return names_.capacity() + entries_.capacity() * sizeof(Entry); }

private:
  struct Entry {
    size_t offset;
    unsigned char type;
  };
  std::string names_;  // each name followed by a NUL
  std::vector<Entry> entries_;
};

// Which item a status describes, whatever its name.
struct ItemIdentity {
  dev_t device = 0;
  ino_t inode = 0;

  static ItemIdentity of(const struct stat& status) { return {status.st_dev, status.st_ino}; }
  bool operator==(const ItemIdentity&) const = default;
  bool operator<(const ItemIdentity& other) const {
    return device != other.device ? device < other.device : inode < other.inode;
  }
};

// The deepest a bundle may nest folders, its own folder counted.  Real bundles stay
// within a few dozen levels, and macOS cannot even name a path more than about 512
// levels deep (PATH_MAX is 1024 bytes, each level takes two at least); twice that is
// beyond anything an image can mean.  A copy refuses more, so that a hostile image
// cannot have a run build an endless tree; a removal leaves what lies deeper, so that
// nobody growing a chain of folders inside an old copy can hold a run for ever.
constexpr size_t kDeepestFolderNesting = 1024;

// How many folders a walk of a tree keeps open when descriptors are plenty: as deep
// as a copy may go, so that with descriptors to spare no walk opens a folder twice.
// Where they are few, a walk holds fewer (see FolderTrail).
constexpr size_t kMostHeldFolderLevels = kDeepestFolderNesting;

// The open folders along the path a depth-first walk of a tree (the copy, the removal)
// has taken from its top, of which it keeps at most `heldLevels` open: a folder deeper
// down lets go of the descriptor of the folder it lies in, and the walk opens that
// folder again through ".." when it comes back up, after checking that it is the very
// folder it came down from (a folder moved meanwhile would lead the walk elsewhere).
// So a walk needs a bounded number of descriptors however deep the tree is, and
// ordinary bundles, which are far shallower, never open anything twice.  The top is
// always held.
class FolderTrail {
public:
  // `heldLevels` is at least 2.
  explicit FolderTrail(size_t heldLevels);

  // Goes down into the open folder `folder`, whose identity is `identity`, which
  // becomes the innermost.
  void enter(UniqueFd folder, const ItemIdentity& identity);

  // Goes back up: gives the innermost folder's descriptor and makes the folder it lies
  // in the innermost again, opened again first if it had let go.  `parentPath` names
  // that folder in an Error.
  Result<UniqueFd> leave(std::string_view parentPath);

  int innermost() const { return levels_.back().fd.get(); }
  int top() const { return levels_.front().fd.get(); }
  size_t depth() const { return levels_.size(); }

private:
  struct Level {
    UniqueFd fd;  // let go past the held levels
    ItemIdentity identity;
  };
  std::vector<Level> levels_;
  size_t heldLevels_;
};

}  // namespace installer
