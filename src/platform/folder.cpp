#include "platform/folder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace installer {

Result<void> Listing::read(int folder, std::string_view shownPath) {
  names_.clear();
  entries_.clear();
  // A descriptor of its own, read from the start, which the stream owns and closes.
  int listingFd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listingFd < 0) {
    return systemError(errno, "listing", shownPath);
  }
  FolderStream stream(::fdopendir(listingFd));
  if (stream.get() == nullptr) {
    int error = errno;
    ::close(listingFd);
    return systemError(error, "listing", shownPath);
  }
  return forEachEntry(stream.get(), shownPath, [&](const dirent& entry) -> Result<void> {
    entries_.push_back(Entry{names_.size(), entry.d_type});
    names_.append(entry.d_name, std::strlen(entry.d_name) + 1);
    return {};
  });
}

namespace {

// Opens the folder that holds the open folder `child`, which must be `expected`.
Result<UniqueFd> openParentFolder(int child, const ItemIdentity& expected, std::string_view shownPath) {
  UniqueFd parent(::openat(child, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat status {};
  if (!parent || ::fstat(parent.get(), &status) != 0) {
    return systemError(errno, "opening", shownPath);
  }
  if (ItemIdentity::of(status) != expected) {
    return failure("The folder was moved while it was being read", "opening", shownPath);
  }
  return parent;
}

}  // namespace

FolderTrail::FolderTrail(size_t heldLevels) : heldLevels_(std::max<size_t>(heldLevels, 2)) {}

void FolderTrail::enter(UniqueFd folder, const ItemIdentity& identity) {
  if (levels_.size() >= heldLevels_) {
    levels_.back().fd.reset();
  }
  levels_.push_back(Level{std::move(folder), identity});
}

Result<UniqueFd> FolderTrail::leave(std::string_view parentPath) {
  UniqueFd left = std::move(levels_.back().fd);
  levels_.pop_back();
  if (!levels_.empty() && !levels_.back().fd) {
    Result<UniqueFd> reopened = openParentFolder(left.get(), levels_.back().identity, parentPath);
    if (!reopened) {
      return reopened.error();
    }
    levels_.back().fd = std::move(*reopened);
  }
  return left;
}

}  // namespace installer
