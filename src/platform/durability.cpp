#include "platform/durability.h"

#include <cerrno>

namespace installer {

bool flushControlUnsupported(int error) {
  // ENOTSUP and EOPNOTSUPP are one number on Linux and two on macOS, hence no switch.
  return error == ENOTTY || error == ENOTSUP || error == EOPNOTSUPP || error == EINVAL || error == ENOSYS;
}

}  // namespace installer
