// Linux only: renameat2 with RENAME_EXCHANGE and RENAME_NOREPLACE (Linux 3.15 and later).
#include <fcntl.h>
#include <stdio.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/rename.h"

namespace installer {

Result<void> swapItems(int folder, const std::string& first, const std::string& second) {
  if (::renameat2(folder, first.c_str(), folder, second.c_str(), RENAME_EXCHANGE) != 0) {
    return renameFailed(errno, first, second);
  }
  return {};
}

Result<void> renameExclusively(int folder, const std::string& from, const std::string& to) {
  if (::renameat2(folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE) != 0) {
    return renameFailed(errno, from, to);
  }
  return {};
}

}  // namespace installer
