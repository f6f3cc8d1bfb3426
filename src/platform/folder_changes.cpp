#include "platform/folder_changes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/fs.h"
#include "platform/removal.h"
#include "platform/rename.h"

namespace installer {

namespace {

class SystemFolderChanges final : public FolderChanges {
public:
  Result<void> exchange(int folder, const std::string& first, const std::string& second) override {
    return swapItems(folder, first, second);
  }
  Result<void> renameWithoutReplacing(int folder, const std::string& from, const std::string& to) override {
    return renameExclusively(folder, from, to);
  }
  Result<void> rename(int folder, const std::string& from, const std::string& to) override {
    return renameReplacing(folder, from, to);
  }
  Result<void> remove(int folder, const std::string& name, int item, const std::string& shownPath,
                      size_t workers) override {
    struct stat status {};
    if (item < 0 || ::fstat(item, &status) != 0) {
      return removeItem(shownPath);
    }
    if (S_ISDIR(status.st_mode)) {
      if (Result<void> emptied = removeContents(item, shownPath, workers); !emptied) {
        return emptied;
      }
    }
    // Another process removing the same leftover may have been quicker.
    if (::unlinkat(folder, name.c_str(), S_ISDIR(status.st_mode) ? AT_REMOVEDIR : 0) != 0 && errno != ENOENT) {
      return systemError(errno, "removing", shownPath);
    }
    return {};
  }
};

}  // namespace

FolderChanges& systemFolderChanges() {
  static SystemFolderChanges changes;
  return changes;
}

}  // namespace installer
