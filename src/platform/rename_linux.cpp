#include <fcntl.h>
#include <stdio.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/rename.h"

namespace installer {

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
    return renamed(::renameat2(folder, first.c_str(), folder, second.c_str(), RENAME_EXCHANGE), first, second);
  }
  Result<void> renameWithoutReplacing(int folder, const std::string& from, const std::string& to) override {
    return renamed(::renameat2(folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE), from, to);
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
