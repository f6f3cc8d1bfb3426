#include "platform/rename.h"

#include <stdio.h>

#include <cerrno>

#include "platform/error.h"

namespace installer {

// The two renames that differ between systems, in rename_<system>.cpp: 0, or -1 with
// errno set.
int swapItems(int folder, const char* first, const char* second);
int renameExclusively(int folder, const char* from, const char* to);

namespace {

Result<void> renamed(int result, const std::string& from, const std::string& to) {
  if (result == 0) {
    return {};
  }
  return systemError(errno, "renaming", from + " to " + to);
}

class SystemRenames final : public Renames {
public:
  Result<void> exchange(int folder, const std::string& first, const std::string& second) override {
    return renamed(swapItems(folder, first.c_str(), second.c_str()), first, second);
  }
  Result<void> renameWithoutReplacing(int folder, const std::string& from, const std::string& to) override {
    return renamed(renameExclusively(folder, from.c_str(), to.c_str()), from, to);
  }
  Result<void> rename(int folder, const std::string& from, const std::string& to) override {
    return renamed(::renameat(folder, from.c_str(), folder, to.c_str()), from, to);
  }
};

}  // namespace

Renames& systemRenames() {
  static SystemRenames renames;
  return renames;
}

}  // namespace installer
