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
  installer::Result<installer::Replacement> replaced = installer::replaceWithCopy(argv[1], argv[2]);
  if (!replaced) {
    std::fprintf(stderr, "copy-tree: %s\n", replaced.error().description.c_str());
    return 1;
  }
  if (replaced->leftover) {
    std::fprintf(stderr, "copy-tree: replaced item left behind: %s\n", replaced->leftover->description.c_str());
  }
  return 0;
}
