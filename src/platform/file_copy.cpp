#include "platform/file_copy.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/error.h"

namespace installer {

bool attributeRefusedBySystem(int error) {
  // ENOTSUP and EOPNOTSUPP are one number on Linux and two on macOS, hence no switch.
  return error == EPERM || error == EACCES || error == ENOTSUP || error == EOPNOTSUPP;
}

int attributeWriteFailure(std::string_view name, int error) {
  if (name == "com.apple.quarantine" || attributeRefusedBySystem(error)) {
    return 0;
  }
  return error != 0 ? error : EIO;
}

Error readingFailed(int error, const CopyEnds& ends) { return systemError(error, "reading", ends.source); }

Error writingFailed(int error, const CopyEnds& ends) { return systemError(error, "writing", ends.destination); }

Error sourceChanged(const CopyEnds& ends) {
  return failure("The file changed while it was copied", "reading", ends.source);
}

Result<void> checkSourceUnchanged(int from, const struct stat& atOpening, const CopyEnds& ends) {
  struct stat now {};
  if (::fstat(from, &now) != 0) {
    return readingFailed(errno, ends);
  }
  auto same = [](const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; };
  if (now.st_size != atOpening.st_size || !same(itemTimes(now)[1], itemTimes(atOpening)[1]) ||
      !same(changeTime(now), changeTime(atOpening))) {
    return sourceChanged(ends);
  }
  return {};
}

Error copyFailed(int error, const CopyEnds& ends) {
  switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
    case EROFS:
    case EPERM:
    case ETXTBSY:
      return writingFailed(error, ends);
    default:
      return readingFailed(error, ends);
  }
}

}  // namespace installer
