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

// Walks of a tree (copy, removal) keep the descriptors of at most this many outer
// folders open; a folder deeper down lets go of its own while its subfolders are
// visited and opens itself again afterwards through "..", so a walk needs a bounded
// number of descriptors however deep the tree is, and ordinary bundles, which are far
// shallower, never reopen anything.
constexpr size_t kHeldFolderLevels = 32;

// Opens the folder that holds the open folder `child`, which must be `expected`: the
// folder the walk came down from.  A folder moved meanwhile would otherwise lead the
// walk elsewhere.  `shownPath` names the expected folder in the Error.
Result<UniqueFd> openParentFolder(int child, const ItemIdentity& expected, std::string_view shownPath);

}  // namespace installer
