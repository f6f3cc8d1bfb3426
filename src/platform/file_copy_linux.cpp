#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/attributes.h"
#include "platform/durability.h"
#include "platform/file_copy.h"

namespace installer {

namespace {

// The largest count sendfile and copy_file_range move in one call.
constexpr size_t kLargestChunk = 0x7ffff000;
constexpr size_t kBufferSize = 128 * 1024;

// The errors that mean "this way of copying does not work between these two file
// systems", rather than that the copy went wrong.
bool wayUnsupported(int error) {
  return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == ENOTSUP;
}

bool noAttributesHere(int error) { return error == ENOTSUP || error == EOPNOTSUPP; }

enum class KernelCopy { finished, failed, tryNextWay };

// Moves bytes with `call` (copy_file_range or sendfile: both take the offset to copy
// from and a count, and return how much they moved) until `length` bytes are `done`
// or the file ends.  A call that cannot serve these two files at all, found out
// before any byte moved, is marked `unusable` for the rest of the tree; errno holds
// the failure.
template <typename Call>
KernelCopy kernelCopy(off_t offset, off_t& done, off_t length, bool& unusable, Call call) {
  while (!unusable && done < length) {
    size_t chunk = static_cast<size_t>(std::min<off_t>(length - done, kLargestChunk));
    ssize_t copied = call(offset + done, chunk);
    if (copied > 0) {
      done += copied;
    } else if (copied == 0) {
      return KernelCopy::finished;
    } else if (errno == EINTR) {
      continue;
    } else if (done == 0 && wayUnsupported(errno)) {
      unusable = true;
    } else {
      return KernelCopy::failed;
    }
  }
  return done >= length ? KernelCopy::finished : KernelCopy::tryNextWay;
}

// What the data copies of one tree share: the ways that turned out not to work
// between its file systems, and the buffer for the last way.
struct DataWays {
  bool copyFileRangeUnusable = false;
  bool sendfileUnusable = false;
  std::vector<char> buffer;  // for pread and pwrite, allocated on first need
};

// Copies `length` bytes at `offset` of `from` to the same offset of `to`.
Result<void> copyRange(DataWays& ways, int from, int to, off_t offset, off_t length, const CopyEnds& ends) {
  off_t done = 0;
  // The counts stop at the length seen when the file was opened: one system call for
  // a small file instead of two.  A file that ends before it has shrunk meanwhile.
  // copy_file_range first; between file systems, where it gives up, sendfile still
  // keeps the bytes in the kernel.
  KernelCopy step = kernelCopy(offset, done, length, ways.copyFileRangeUnusable, [&](off_t at, size_t chunk) {
    loff_t in = at;
    loff_t out = at;
    return ::copy_file_range(from, &in, to, &out, chunk, 0);
  });
  if (step == KernelCopy::tryNextWay && !ways.sendfileUnusable) {
    // sendfile writes where the file's own offset stands: 0 for a fresh file.
    if (offset + done != 0 && ::lseek(to, offset + done, SEEK_SET) < 0) {
      return writingFailed(errno, ends);
    }
    step = kernelCopy(offset, done, length, ways.sendfileUnusable, [&](off_t at, size_t chunk) {
      off_t in = at;
      return ::sendfile(to, from, &in, chunk);
    });
  }
  if (step == KernelCopy::failed) {
    return copyFailed(errno, ends);
  }
  if (step == KernelCopy::finished) {
    return done < length ? sourceChanged(ends) : Result<void>();
  }
  if (ways.buffer.empty()) {
    ways.buffer.resize(kBufferSize);
  }
  while (done < length) {
    size_t chunk = static_cast<size_t>(std::min<off_t>(length - done, static_cast<off_t>(ways.buffer.size())));
    ssize_t got = ::pread(from, ways.buffer.data(), chunk, offset + done);
    if (got == 0) {
      return sourceChanged(ends);
    }
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return readingFailed(errno, ends);
    }
    for (ssize_t written = 0; written < got;) {
      ssize_t now = ::pwrite(to, ways.buffer.data() + written, static_cast<size_t>(got - written),
                             offset + done + written);
      if (now < 0 && errno != EINTR) {
        return writingFailed(errno, ends);
      }
      written += now > 0 ? now : 0;
    }
    done += got;
  }
  return {};
}

}  // namespace

std::array<timespec, 2> itemTimes(const struct stat& status) { return {status.st_atim, status.st_mtim}; }

timespec changeTime(const struct stat& status) { return status.st_ctim; }

struct ItemContentCopier::State {
  DataWays ways;
  std::vector<char> names = std::vector<char>(1024);
  std::vector<char> value = std::vector<char>(4096);
};

ItemContentCopier::ItemContentCopier() : state_(std::make_unique<State>()) {}
ItemContentCopier::~ItemContentCopier() = default;

Result<ItemContentCopier::Copied> ItemContentCopier::copyData(int from, int to, const struct stat& fromStatus,
                                                              off_t& done, Portion portion, const CopyEnds& ends) {
  const off_t size = fromStatus.st_size;
  // Fewer blocks than the length takes means holes (or a compressed file): only the
  // data is copied then, found with SEEK_DATA and SEEK_HOLE, as copy_file_range and
  // sendfile would write the holes out as zeros on most file systems, and the copy
  // then gets its length, holes at the end included.  Every other file is copied
  // whole, without the extra calls.
  const bool sparse = static_cast<off_t>(fromStatus.st_blocks) * 512 < size;
  // A large file goes in pieces, each handed on to the disk once written, so that
  // the disk is busy with it while the rest is copied.
  const bool large = writingBackPiece() > 0 && size >= writingBackPiece();
  bool copiedAPiece = false;
  for (off_t offset = done; offset < size;) {
    off_t data = sparse ? ::lseek(from, offset, SEEK_DATA) : offset;
    if ((data < 0 && errno == ENXIO) || data >= size) {
      break;  // only a hole is left
    }
    off_t hole = data < 0 ? -1 : sparse ? ::lseek(from, data, SEEK_HOLE) : size;
    if (data < 0 || hole < 0) {
      return readingFailed(errno, ends);
    }
    hole = std::min(hole, size);
    const off_t piece = large ? writingBackPiece() : hole - data;
    for (off_t at = data; at < hole; at += piece) {
      if (copiedAPiece && portion == Portion::onePiece) {
        done = at;
        return Copied::partly;
      }
      const off_t length = std::min(piece, hole - at);
      if (Result<void> copied = copyRange(state_->ways, from, to, at, length, ends); !copied) {
        return copied.error();
      }
      if (large) {
        if (Result<void> started = startWritingBack(to, at, length, ends.destination); !started) {
          return started.error();
        }
      }
      copiedAPiece = true;
    }
    offset = hole;
  }
  if (Result<void> unchanged = checkSourceUnchanged(from, fromStatus, ends); !unchanged) {
    return unchanged.error();
  }
  if (sparse && ::ftruncate(to, size) != 0) {
    return writingFailed(errno, ends);
  }
  done = size;
  return Copied::wholly;
}

Result<void> ItemContentCopier::copyAttributes(int from, int to, const struct stat&, const CopyEnds& ends) {
  std::vector<char>& names = state_->names;
  ssize_t listed;
  while ((listed = ::flistxattr(from, names.data(), names.size())) < 0) {
    if (noAttributesHere(errno)) {
      return {};
    }
    if (errno != ERANGE) {
      return readingFailed(errno, ends);
    }
    ssize_t needed = ::flistxattr(from, nullptr, 0);
    if (needed < 0) {
      return readingFailed(errno, ends);
    }
    names.resize(static_cast<size_t>(needed) + 1);
  }
  std::vector<char>& value = state_->value;
  for (const char* name = names.data(); name < names.data() + listed; name += std::strlen(name) + 1) {
    // Other namespaces are the system's (security labels, ACLs) or need privileges
    // that an installed copy should not carry over; the tool's own attributes are its
    // own, never an image's.
    if (std::strncmp(name, "user.", 5) != 0 || isToolAttribute(name)) {
      continue;
    }
    ssize_t length;
    while ((length = ::fgetxattr(from, name, value.data(), value.size())) < 0) {
      if (errno == ENODATA) {
        break;  // removed since it was listed
      }
      if (errno != ERANGE) {
        return readingFailed(errno, ends);
      }
      ssize_t needed = ::fgetxattr(from, name, nullptr, 0);
      if (needed < 0) {
        return readingFailed(errno, ends);
      }
      value.resize(static_cast<size_t>(needed) + 1);
    }
    if (length < 0) {
      continue;
    }
    // As cp -a does, a destination that cannot keep extended attributes gets the copy
    // without them; one that refuses a single attribute gets the others.
    if (::fsetxattr(to, name, value.data(), static_cast<size_t>(length), 0) != 0 &&
        !attributeRefusedBySystem(errno)) {
      return writingFailed(errno, ends);
    }
  }
  return {};
}

}  // namespace installer
