#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <ctime>
#include <memory>
#include <string_view>

#include "platform/result.h"

namespace installer {

// The access and modification times of `status`, in the order futimens and
// utimensat take them.
std::array<timespec, 2> itemTimes(const struct stat& status);

// The status change time of `status`.
timespec changeTime(const struct stat& status);

// The two items of one copy, as errors name them: "... (reading <source>)" or
// "... (writing <destination>)".
struct CopyEnds {
  std::string_view source;
  std::string_view destination;
};

// The Error for a failed read of the source or write of the destination.
Error readingFailed(int error, const CopyEnds& ends);
Error writingFailed(int error, const CopyEnds& ends);

// The Error for a source file that was written to while it was copied: the copy could
// match no state the file ever had.
Error sourceChanged(const CopyEnds& ends);

// Whether the source file open at `from` still has the size, modification time and
// change time of `atOpening`, its status when it was opened: one status call, made
// once a file's contents are all copied.  A difference is sourceChanged.
Result<void> checkSourceUnchanged(int from, const struct stat& atOpening, const CopyEnds& ends);

// The Error for a failed whole-file copy call (copy_file_range, sendfile, fcopyfile),
// which does not say which side failed.  Errors that can only come from the item
// written (no space, quota, read-only, ...) are laid to it; anything else, above all
// an I/O error, to the source, which sits on a disk image and is the likelier to be
// damaged.
Error copyFailed(int error, const CopyEnds& ends);

// Whether `error`, from writing one extended attribute onto a copy, means that the
// system will not have that attribute written there (EPERM, EACCES, ENOTSUP,
// EOPNOTSUPP): the system's own attributes, which it sets on items itself, and file
// systems that keep none.  Such an attribute is skipped and the copy goes on; any
// other error (no space, an I/O error) fails the copy.
bool attributeRefusedBySystem(int error);

// The error that a failure to write the extended attribute `name` onto a copy, with
// errno `error`, fails the copy with (EIO where `error` names no cause), or 0 where the
// copy goes on without the attribute: one the system refuses (see above), and
// com.apple.quarantine, whatever `error` says.  macOS's copyfile applies the
// quarantine information apart from the other attributes and reports its failure
// without setting errno, which then holds whatever an earlier call left there; left
// without a callback, copyfile passes over that failure itself.
int attributeWriteFailure(std::string_view name, int error);

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

  // How much of a file's contents one call copies: all that is left, or one piece
  // where the platform copies large files in pieces (see writingBackPiece), all that
  // is left elsewhere.
  enum class Portion { rest, onePiece };
  enum class Copied { partly, wholly };

  // Copies the contents of the regular file open for reading at `from`, whose status
  // is `fromStatus`, into the file open for writing at `to`, from `done` bytes on (0
  // for an empty copy), keeping the bytes inside the kernel where the system allows,
  // and sets `done` to how far it got.  Copied partly, the next call takes it on from
  // there: so threads may take turns on one file, one at a time, never writing it at
  // once.  Holes stay holes: only the data of a sparse file is written, and the copy
  // gets the same length.  A file that ends before its status said, or whose status
  // has changed by the end, fails the copy (sourceChanged).
  Result<Copied> copyData(int from, int to, const struct stat& fromStatus, off_t& done, Portion portion,
                          const CopyEnds& ends);

  // Copies the extended attributes of the open item `from` (a file or a folder whose
  // status is `fromStatus`) to the open item `to`: the user.* ones on Linux, all of
  // them and the hidden flag on macOS.  A file system that keeps no extended
  // attributes, on either side, is not a failure, nor is an attribute the system
  // refuses to write (attributeRefusedBySystem): it is left out and not logged, as
  // the Finder leaves it out; such attributes are the system's own bookkeeping, which
  // it sets on the copy itself.
  Result<void> copyAttributes(int from, int to, const struct stat& fromStatus, const CopyEnds& ends);

private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace installer
