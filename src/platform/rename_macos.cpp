// macOS only: renameatx_np with RENAME_SWAP and RENAME_EXCL (macOS 10.12 and later).
#include <stdio.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/rename.h"

namespace installer {

Result<void> swapItems(int folder, const std::string& first, const std::string& second) {
  if (::renameatx_np(folder, first.c_str(), folder, second.c_str(), RENAME_SWAP) != 0) {
    return renameFailed(errno, first, second);
  }
  return {};
}

Result<void> renameExclusively(int folder, const std::string& from, const std::string& to) {
  if (::renameatx_np(folder, from.c_str(), folder, to.c_str(), RENAME_EXCL) != 0) {
    return renameFailed(errno, from, to);
  }
  return {};
}

}  // namespace installer
