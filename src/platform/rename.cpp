#include "platform/rename.h"

#include <stdio.h>

#include <cerrno>

#include "platform/error.h"

namespace installer {

Error renameFailed(int error, const std::string& from, const std::string& to) {
  return systemError(error, "renaming", from + " to " + to);
}

Result<void> renameReplacing(int folder, const std::string& from, const std::string& to) {
  if (::renameat(folder, from.c_str(), folder, to.c_str()) != 0) {
    return renameFailed(errno, from, to);
  }
  return {};
}

}  // namespace installer
