#include "selftest/rename_checks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/fd.h"
#include "platform/fs.h"
#include "platform/io.h"
#include "platform/folder_changes.h"

namespace installer::selftest {

namespace {

// A file `name` in the open folder holding `text`.
Result<void> writeFile(int folder, const std::string& name, const std::string& text) {
  UniqueFd file(::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!file) {
    return systemError(errno, "creating", name);
  }
  return writeAll(file.get(), text, name);
}

// What stands at `name`: "folder", "file holding <text>", or "nothing".
std::string whatStands(int folder, const std::string& name) {
  struct stat status {};
  if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return "nothing";
  }
  if (S_ISDIR(status.st_mode)) {
    return "folder";
  }
  UniqueFd file(::openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC));
  std::string text;
  if (!file || !readToEnd(file.get(), text, name, 1024)) {
    return "an unreadable item";
  }
  return "file holding " + text;
}

Outcome expectStanding(int folder, const std::string& name, const std::string& expected) {
  std::string found = whatStands(folder, name);
  if (found != expected) {
    return failed("afterwards " + name + " is " + found + ", not " + expected);
  }
  return passed();
}

Outcome swap(FolderChanges& renames, int folder) {
  if (Result<void> made = writeFile(folder, "swap-file", "first"); !made) {
    return failed(made.error().description);
  }
  if (::mkdirat(folder, "swap-folder", 0755) != 0) {
    return failed(describeError(errno, "creating", "swap-folder"));
  }
  if (Result<void> swapped = renames.exchange(folder, "swap-file", "swap-folder"); !swapped) {
    return failed(swapped.error().description + "; the tool falls back to renaming the old item aside");
  }
  Outcome file = expectStanding(folder, "swap-folder", "file holding first");
  return file.verdict != Verdict::ok ? file : expectStanding(folder, "swap-file", "folder");
}

Outcome renameWithoutReplacing(FolderChanges& renames, int folder) {
  if (Result<void> made = writeFile(folder, "new", "new"); !made) {
    return failed(made.error().description);
  }
  if (Result<void> renamed = renames.renameWithoutReplacing(folder, "new", "placed"); !renamed) {
    return failed("where nothing stood: " + renamed.error().description);
  }
  if (Result<void> made = writeFile(folder, "newer", "newer"); !made) {
    return failed(made.error().description);
  }
  Result<void> refused = renames.renameWithoutReplacing(folder, "newer", "placed");
  if (refused) {
    return failed("it replaced the item that stood there");
  }
  if (refused.error().code != EEXIST) {
    return failed("where an item stood: " + refused.error().description + " (EEXIST expected)");
  }
  Outcome kept = expectStanding(folder, "placed", "file holding new");
  return kept.verdict != Verdict::ok ? kept : expectStanding(folder, "newer", "file holding newer");
}

Outcome plainRename(FolderChanges& renames, int folder) {
  if (Result<void> made = writeFile(folder, "replacement", "replacement"); !made) {
    return failed(made.error().description);
  }
  if (Result<void> renamed = renames.rename(folder, "replacement", "placed"); !renamed) {
    return failed(renamed.error().description);
  }
  Outcome placed = expectStanding(folder, "placed", "file holding replacement");
  return placed.verdict != Verdict::ok ? placed : expectStanding(folder, "replacement", "nothing");
}

}  // namespace

std::vector<CheckLine> renameChecks(const Workspace& workspace) {
  Result<std::string> path = makeFolder(workspace, "renames");
  UniqueFd folder(path ? ::open(path->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
  if (!folder) {
    std::string why = path ? describeError(errno, "opening", *path) : path.error().description;
    return {{"renames: setting up", failed(why)}};
  }
  FolderChanges& renames = systemFolderChanges();
  return {
      {"swap a folder and a file in one step", swap(renames, folder.get())},
      {"rename without replacing", renameWithoutReplacing(renames, folder.get())},
      {"rename over a file", plainRename(renames, folder.get())},
  };
}

}  // namespace installer::selftest
