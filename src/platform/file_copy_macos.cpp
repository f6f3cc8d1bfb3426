// macOS only: contents and extended attributes through copyfile(3).
#include <copyfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/attributes.h"
#include "platform/file_copy.h"

namespace installer {

namespace {

// What copyfile's status callback saw during one item's attribute copy.
struct AttributeCopy {
  int failure = 0;  // the error it stopped the copy on, or 0
};

int attributeStatus(int what, int stage, copyfile_state_t state, const char*, const char*, void* context) {
  // errno is the error of the write that failed, if any: read before anything else.
  const int error = errno;
  const char* name = nullptr;
  if (what == COPYFILE_COPY_XATTR &&
      (::copyfile_state_get(state, COPYFILE_STATE_XATTRNAME, &name) != 0 || name == nullptr)) {
    name = "";
  }
  // The tool's own attributes are its own, never an image's.
  if (what == COPYFILE_COPY_XATTR && stage == COPYFILE_START && isToolAttribute(name)) {
    return COPYFILE_SKIP;
  }
  if (stage != COPYFILE_ERR) {
    return COPYFILE_CONTINUE;
  }
  const int failure = what == COPYFILE_COPY_XATTR ? attributeWriteFailure(name, error) : (error != 0 ? error : EIO);
  if (failure == 0) {
    return COPYFILE_CONTINUE;
  }
  static_cast<AttributeCopy*>(context)->failure = failure;
  return COPYFILE_QUIT;
}

}  // namespace

std::array<timespec, 2> itemTimes(const struct stat& status) {
  return {status.st_atimespec, status.st_mtimespec};
}

timespec changeTime(const struct stat& status) { return status.st_ctimespec; }

struct ItemContentCopier::State {};

ItemContentCopier::ItemContentCopier() : state_(std::make_unique<State>()) {}
ItemContentCopier::~ItemContentCopier() = default;

Result<ItemContentCopier::Copied> ItemContentCopier::copyData(int from, int to, const struct stat& fromStatus,
                                                              off_t& done, Portion, const CopyEnds& ends) {
  // Always the whole file in one call (writingBackPiece is 0 here), so `done` is 0.
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
  // fcopyfile copies up to the end it finds: a file that changed meanwhile shows it
  // in its status.
  if (Result<void> unchanged = checkSourceUnchanged(from, fromStatus, ends); !unchanged) {
    return unchanged.error();
  }
  done = fromStatus.st_size;
  return Copied::wholly;
}

Result<void> ItemContentCopier::copyAttributes(int from, int to, const struct stat& fromStatus,
                                               const CopyEnds& ends) {
  // Every extended attribute, resource forks and quarantine marks included, less
  // those the system refuses to have written (com.apple.rootless, and on macOS 13
  // and later com.apple.provenance and com.apple.macl on items from downloaded
  // images).  Left to itself copyfile writes every attribute it can but returns -1
  // when a single one fails (only com.apple.root.installed is let off), which would
  // fail the install; the status callback lets it skip the refused ones.
  //
  // The result comes from what the callback saw, not from fcopyfile's return alone.
  // In Apple's copyfile.c (copyfile_xattr) a failed fsetxattr goes to the callback as
  // (COPYFILE_COPY_XATTR, COPYFILE_ERR) with errno still set.  After
  // COPYFILE_CONTINUE the loop goes on to the next attribute and the failure is not
  // counted (only without a callback does it make the result -1).  After
  // COPYFILE_QUIT the loop stops with -1 and errno is ECANCELED, whatever failed; a
  // quit at an attribute's start or finish even leaves the result 0.  So a failure
  // the callback saw is reported with the errno it saw then.  One failure comes
  // without an errno: the quarantine information, which copyfile applies apart from
  // the attributes (qtn_file_apply_to_fd), reaches the callback as a failure of
  // com.apple.quarantine with errno left as it was, and is passed over
  // (attributeWriteFailure).  A -1 the callback did not see comes from outside the
  // writes (listing the source's attributes, memory) and fails the copy, unless its
  // errno is a refusal too, as when the whole destination keeps no attributes
  // (ENOTSUP).
  //
  // The copyfile state is made afresh for each item, not kept with the copier's
  // buffers: fcopyfile takes the descriptors, the source's status and its quarantine
  // information into a state only while the state holds none yet, so a state kept
  // from an earlier item would go on writing to that item's descriptor.
  AttributeCopy copy;
  copyfile_state_t state = ::copyfile_state_alloc();
  if (state == nullptr) {
    return copyFailed(errno, ends);
  }
  copyfile_callback_t callback = attributeStatus;
  ::copyfile_state_set(state, COPYFILE_STATE_STATUS_CB, reinterpret_cast<const void*>(callback));
  ::copyfile_state_set(state, COPYFILE_STATE_STATUS_CTX, &copy);
  const int copied = ::fcopyfile(from, to, state, COPYFILE_XATTR);
  const int error = errno;
  ::copyfile_state_free(state);
  if (copy.failure != 0) {
    return writingFailed(copy.failure, ends);
  }
  if (copied != 0 && !attributeRefusedBySystem(error)) {
    return copyFailed(error, ends);
  }
  // Items hidden inside the bundle stay hidden.  Other flags (immutable, append-only)
  // would keep the copy from ever being replaced, so they are not carried over.
  if ((fromStatus.st_flags & UF_HIDDEN) != 0 && ::fchflags(to, UF_HIDDEN) != 0) {
    return writingFailed(errno, ends);
  }
  return {};
}

}  // namespace installer
