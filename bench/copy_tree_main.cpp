// copy-tree [--workers N] SRC DST: puts a copy of SRC at DST the way the tool installs
// a bundle (temporary sibling, swap, removal of the old item), without logging, with N
// workers filling the files (the tool's default without the option).  Exits 0 when the
// copy is in place, 1 otherwise, with the failure on standard error.
// copy-tree --default-workers: prints the tool's default number of workers here.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "install/copy_tree.h"
#include "install/replace_item.h"

int main(int argc, char** argv) {
  size_t workers = installer::defaultCopyWorkers();
  if (argc == 2 && std::string(argv[1]) == "--default-workers") {
    std::printf("%zu\n", workers);
    return 0;
  }
  int first = 1;
  if (argc == 5 && std::string(argv[1]) == "--workers") {
    workers = std::strtoul(argv[2], nullptr, 10);
    first = 3;
  }
  if (argc - first != 2 || workers == 0) {
    std::fprintf(stderr, "usage: %s [--workers N] SRC DST | --default-workers\n", argv[0]);
    return 2;
  }
  installer::Result<installer::Replacement> replaced =
      installer::replaceWithCopy(argv[first], argv[first + 1], installer::systemFolderChanges(), workers);
  if (!replaced) {
    std::fprintf(stderr, "copy-tree: %s\n", replaced.error().description.c_str());
    return 1;
  }
  if (replaced->leftover) {
    std::fprintf(stderr, "copy-tree: replaced item left behind: %s\n", replaced->leftover->description.c_str());
  }
  return 0;
}
