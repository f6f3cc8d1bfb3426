// macOS only: renameatx_np with RENAME_SWAP and RENAME_EXCL (macOS 10.12 and later).
#include <stdio.h>

#include <cerrno>

#include "platform/rename.h"

namespace installer {

int exchangeItems(int folder, const char* first, const char* second) {
  return ::renameatx_np(folder, first, folder, second, RENAME_SWAP) == 0 ? 0 : errno;
}

int renameWithoutReplacing(int folder, const char* from, const char* to) {
  return ::renameatx_np(folder, from, folder, to, RENAME_EXCL) == 0 ? 0 : errno;
}

}  // namespace installer
