#include <fcntl.h>
#include <stdio.h>

#include <cerrno>

#include "platform/rename.h"

namespace installer {

int exchangeItems(int folder, const char* first, const char* second) {
  return ::renameat2(folder, first, folder, second, RENAME_EXCHANGE) == 0 ? 0 : errno;
}

int renameWithoutReplacing(int folder, const char* from, const char* to) {
  return ::renameat2(folder, from, folder, to, RENAME_NOREPLACE) == 0 ? 0 : errno;
}

}  // namespace installer
