// macOS only: contents and extended attributes through copyfile(3).
#include <copyfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_copy.h"

namespace installer {

std::array<timespec, 2> itemTimes(const struct stat& status) {
  return {status.st_atimespec, status.st_mtimespec};
}

struct ItemContentCopier::State {};

ItemContentCopier::ItemContentCopier() : state_(std::make_unique<State>()) {}
ItemContentCopier::~ItemContentCopier() = default;

Result<void> ItemContentCopier::copyData(int from, int to, const struct stat&, const CopyEnds& ends) {
  // fcopyfile copies in the kernel where APFS allows.  Whether plain COPYFILE_DATA
  // keeps holes is not documented; COPYFILE_DATA_SPARSE (macOS 10.15 and later) asks
  // for it, and with COPYFILE_DATA falls back to a whole copy where it cannot.  The
  // source is read from offset 0, a multiple of any hole size, as the flag requires.
  copyfile_flags_t flags = COPYFILE_DATA;
#ifdef COPYFILE_DATA_SPARSE
  flags |= COPYFILE_DATA_SPARSE;
#endif
  if (::fcopyfile(from, to, nullptr, flags) != 0) {
    return copyFailed(errno, ends);
  }
  return {};
}

Result<void> ItemContentCopier::copyAttributes(int from, int to, const struct stat& fromStatus,
                                               const CopyEnds& ends) {
  // Every extended attribute, resource forks and quarantine marks included.
  if (::fcopyfile(from, to, nullptr, COPYFILE_XATTR) != 0 && errno != ENOTSUP) {
    return copyFailed(errno, ends);
  }
  // Items hidden inside the bundle stay hidden.  Other flags (immutable, append-only)
  // would keep the copy from ever being replaced, so they are not carried over.
  if ((fromStatus.st_flags & UF_HIDDEN) != 0 && ::fchflags(to, UF_HIDDEN) != 0) {
    return writingFailed(errno, ends);
  }
  return {};
}

}  // namespace installer
