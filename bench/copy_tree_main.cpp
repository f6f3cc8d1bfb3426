// copy-tree SRC DST: puts a copy of SRC at DST the way the tool installs a bundle
// (temporary sibling, swap, removal of the old item), without logging.  Exits 0 when
// the copy is in place, 1 otherwise, with the failure on standard error.
#include <cstdio>
#include <string>

#include "install/replace_item.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s SRC DST\n", argv[0]);
    return 2;
  }
  installer::Replacement replacement = installer::replaceWithCopy(argv[1], argv[2]);
  if (replacement.failure) {
    std::fprintf(stderr, "copy-tree: %s\n", replacement.failure->c_str());
    return 1;
  }
  if (replacement.leftover) {
    std::fprintf(stderr, "copy-tree: replaced item left behind: %s\n", replacement.leftover->c_str());
  }
  return 0;
}
