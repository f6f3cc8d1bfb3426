#include "platform/file_copy.h"

#include <cerrno>

namespace installer {

CopySide sideOfUnattributedError(int error) {
  switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
    case EROFS:
    case EPERM:
    case ETXTBSY:
      return CopySide::writing;
    default:
      return CopySide::reading;
  }
}

}  // namespace installer
