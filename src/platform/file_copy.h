#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <ctime>
#include <memory>
#include <optional>

namespace installer {

// The access and modification times of `status`, in the order futimens and
// utimensat take them.
std::array<timespec, 2> itemTimes(const struct stat& status);

// Which side of a copy a failing call concerns: the item read from or the one written.
enum class CopySide { reading, writing };

// The side a failure of a whole-file copy call (copy_file_range, sendfile, fcopyfile)
// concerns; such calls do not say.  Errors that can only come from the item written
// (no space, quota, read-only, ...) are laid to it; anything else, above all an I/O
// error, to the source, which sits on a disk image and is the likelier to be damaged.
CopySide sideOfUnattributedError(int error);

struct CopyFailure {
  int error = 0;  // errno of the failing call
  CopySide side = CopySide::writing;
};

// Copies the contents and extended attributes of one open item to another, the
// platform's fastest way.  One instance serves a whole tree: it remembers what the
// file systems involved cannot do and reuses its buffers, so its memory stays the
// same however many files pass through it.
class ItemContentCopier {
public:
  ItemContentCopier();
  ~ItemContentCopier();
  ItemContentCopier(const ItemContentCopier&) = delete;
  ItemContentCopier& operator=(const ItemContentCopier&) = delete;

  // Copies the `size` bytes of the regular file open for reading at `from` (at offset
  // 0) into the empty file open for writing at `to`, keeping the bytes inside the
  // kernel where the system allows.  A file that turns out shorter is copied as it is.
  std::optional<CopyFailure> copyData(int from, int to, off_t size);

  // Copies the extended attributes of the open item `from` (a file or a folder whose
  // status is `fromStatus`) to the open item `to`: the user.* ones on Linux, all of
  // them and the hidden flag on macOS.  A file system that keeps no extended
  // attributes, on either side, is not a failure.
  std::optional<CopyFailure> copyAttributes(int from, int to, const struct stat& fromStatus);

private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace installer
