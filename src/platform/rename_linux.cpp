// Linux only: renameat2 with RENAME_EXCHANGE and RENAME_NOREPLACE (Linux 3.15 and later).
#include <fcntl.h>
#include <stdio.h>

namespace installer {

int swapItems(int folder, const char* first, const char* second) {
  return ::renameat2(folder, first, folder, second, RENAME_EXCHANGE);
}

int renameExclusively(int folder, const char* from, const char* to) {
  return ::renameat2(folder, from, folder, to, RENAME_NOREPLACE);
}

}  // namespace installer
