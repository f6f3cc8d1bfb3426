#include "platform/file_copy.h"

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
