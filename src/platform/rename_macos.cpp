// macOS only: renameatx_np with RENAME_SWAP and RENAME_EXCL (macOS 10.12 and later).
#include <stdio.h>

namespace installer {

int swapItems(int folder, const char* first, const char* second) {
  return ::renameatx_np(folder, first, folder, second, RENAME_SWAP);
}

int renameExclusively(int folder, const char* from, const char* to) {
  return ::renameatx_np(folder, from, folder, to, RENAME_EXCL);
}

}  // namespace installer
