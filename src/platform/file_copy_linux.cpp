#include <sys/sendfile.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/file_copy.h"
#include "platform/io.h"

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

// Moves bytes with `call` (copy_file_range or sendfile: both take a count and return
// how much they moved) until `size` bytes are `done` or the file ends.  A call that
// cannot serve these two files at all, found out before any byte moved, is marked
// `unusable` for the rest of the tree; errno holds the failure.
template <typename Call>
KernelCopy kernelCopy(off_t& done, off_t size, bool& unusable, Call call) {
  while (!unusable && done < size) {
    size_t chunk = static_cast<size_t>(std::min<off_t>(size - done, kLargestChunk));
    ssize_t copied = call(chunk);
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
  return done >= size ? KernelCopy::finished : KernelCopy::tryNextWay;
}

}  // namespace

std::array<timespec, 2> itemTimes(const struct stat& status) { return {status.st_atim, status.st_mtim}; }

struct ItemContentCopier::State {
  bool copyFileRangeUnusable = false;
  bool sendfileUnusable = false;
  std::vector<char> buffer;  // for read and write, allocated on first need
  std::vector<char> names = std::vector<char>(1024);
  std::vector<char> value = std::vector<char>(4096);
};

ItemContentCopier::ItemContentCopier() : state_(std::make_unique<State>()) {}
ItemContentCopier::~ItemContentCopier() = default;

Result<void> ItemContentCopier::copyData(int from, int to, off_t size, const CopyEnds& ends) {
  off_t done = 0;
  // The counts below stop at the size seen when the file was opened: one system call
  // for a small file instead of two, and a file that shrinks meanwhile ends early.
  // copy_file_range first; between file systems, where it gives up, sendfile still
  // keeps the bytes in the kernel.
  KernelCopy step = kernelCopy(done, size, state_->copyFileRangeUnusable,
                               [&](size_t chunk) { return ::copy_file_range(from, nullptr, to, nullptr, chunk, 0); });
  if (step == KernelCopy::tryNextWay) {
    step = kernelCopy(done, size, state_->sendfileUnusable,
                      [&](size_t chunk) { return ::sendfile(to, from, nullptr, chunk); });
  }
  if (step == KernelCopy::failed) {
    return copyFailed(errno, ends);
  }
  if (step == KernelCopy::finished) {
    return {};
  }
  if (state_->buffer.empty()) {
    state_->buffer.resize(kBufferSize);
  }
  while (done < size) {
    ssize_t got = ::read(from, state_->buffer.data(), state_->buffer.size());
    if (got == 0) {
      return {};
    }
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return readingFailed(errno, ends);
    }
    if (Result<void> written = writeAll(to, {state_->buffer.data(), static_cast<size_t>(got)}, ends.destination);
        !written) {
      return written;
    }
    done += got;
  }
  return {};
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
    // that an installed copy should not carry over.
    if (std::strncmp(name, "user.", 5) != 0) {
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
    if (::fsetxattr(to, name, value.data(), static_cast<size_t>(length), 0) != 0) {
      // As cp -a does, a destination that cannot keep extended attributes gets the
      // copy without them.
      if (noAttributesHere(errno)) {
        return {};
      }
      return writingFailed(errno, ends);
    }
  }
  return {};
}

}  // namespace installer
