#pragma once

#include <string>

#include "platform/result.h"

namespace installer {

// The changes to the destination folder that put a finished copy in place and take
// the item it replaced away, all within one open folder.  An interface, so that tests
// can play a file system that cannot swap, or a system that refuses a step; the tool
// itself only ever uses systemFolderChanges().  Each Error carries the system's error
// number.
class FolderChanges {
public:
  virtual ~FolderChanges() = default;

  // See swapItems, renameExclusively and renameReplacing (platform/rename.h).
  virtual Result<void> exchange(int folder, const std::string& first, const std::string& second) = 0;
  virtual Result<void> renameWithoutReplacing(int folder, const std::string& from, const std::string& to) = 0;
  virtual Result<void> rename(int folder, const std::string& from, const std::string& to) = 0;

  // Removes the item `name` in `folder`, which is the open item `item` (-1 when it
  // could not be opened, as a link cannot): a folder is emptied through `item`, with
  // `workers` threads (see removeContents), so that nothing moved into its place
  // meanwhile is touched, then taken away by name only once empty.  `shownPath` names
  // the item in an Error.
  virtual Result<void> remove(int folder, const std::string& name, int item, const std::string& shownPath,
                              size_t workers) = 0;
};

// The system's own.
FolderChanges& systemFolderChanges();

}  // namespace installer
