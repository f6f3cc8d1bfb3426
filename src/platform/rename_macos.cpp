// macOS only: renameatx_np with RENAME_SWAP and RENAME_EXCL (macOS 10.12 and later).
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
    return renamed(::renameatx_np(folder, first.c_str(), folder, second.c_str(), RENAME_SWAP), first, second);
  }
  Result<void> renameWithoutReplacing(int folder, const std::string& from, const std::string& to) override {
    return renamed(::renameatx_np(folder, from.c_str(), folder, to.c_str(), RENAME_EXCL), from, to);
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
