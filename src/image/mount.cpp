#include "image/mount.h"

#include <algorithm>
#include <cerrno>
#include <iterator>

#include "image/shell_quote.h"
#include "image/unmount.h"
#include "platform/fs.h"
#include "platform/removal.h"
#include "platform/log.h"
#include "runner/runner.h"

namespace installer {

namespace {

constexpr const char* kRecordName = "qzmount.plist";

// hdiutil's records are a few kilobytes, a licence agreement in front included.
constexpr size_t kLargestRecord = size_t{4} << 20;

// The image path as the shell should see it.  The usual case keeps hdiutil's
// customary form, blanks escaped with a backslash; anything else is quoted whole.
std::string imagePathWord(const std::string& base, const std::string& imageName) {
  std::string withoutBlanks;
  std::remove_copy(imageName.begin(), imageName.end(), std::back_inserter(withoutBlanks), ' ');
  if (!isShellPlain(base) || !isShellPlain(withoutBlanks)) {
    return shellWord(appendingPathComponent(base, imageName));
  }
  std::string escaped;
  for (char c : imageName) {
    if (c == ' ') {
      escaped += '\\';
    }
    escaped += c;
  }
  return appendingPathComponent(base, escaped);
}

// Readies the record's path for the shell's ">", which follows a symbolic link and
// truncates its target, while the tool often runs as root.  The record is made here,
// empty and private to this user, under a fresh name beside it, then renamed onto its
// path.  That replaces whatever an earlier run or anyone else left there (a link
// itself, never what it points to) in one step that never leaves the name free, so a
// link planted again and again cannot win.  Where others may create files in the
// working folder but not remove or rename someone else's (sticky, like /tmp), nobody
// else can then replace the record before the shell writes it, nor open it at all.
// False when something stands at the path and stays.
bool prepareRecord(const std::string& basePath, const std::string& record) {
  Result<std::string> fresh = createPrivateFile(appendingPathComponent(basePath, ".qzmount.plist."));
  if (!fresh) {
    // Where the tool may not create files (a folder it may not write to), the shell's
    // own attempt fails too and says why; only what stands there must go first.
    if (itemExists(record)) {
      removeFiles(record);
    }
    return !itemExists(record);
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    Result<void> renamed = renameItem(*fresh, record);
    if (renamed) {
      return true;
    }
    if (renamed.error().code != EISDIR) {
      break;
    }
    // A folder stands there: it goes, and nothing a link inside it leads to.
    removeFiles(record);
  }
  (void)removeItem(*fresh);
  return false;
}

}  // namespace

std::string mountRecordPath(const std::string& basePath) { return appendingPathComponent(basePath, kRecordName); }

std::string mountCommandLine(const std::string& basePath, const std::string& imageName) {
  return "echo YES | hdiutil attach -nobrowse -plist " + imagePathWord(basePath, imageName) + ">" +
         shellWord(mountRecordPath(basePath));
}

MountOutcome mountImage(const std::string& basePath, const std::string& imageName, const TimeLimit& limit) {
  MountOutcome outcome;
  auto endWith = [&](int status) {
    outcome.exitStatus = status;
    return std::move(outcome);
  };
  const std::string record = mountRecordPath(basePath);
  outcome.cmd_string = mountCommandLine(basePath, imageName);
  logMessage("Mount cmd ->" + printable(outcome.cmd_string));

  if (!prepareRecord(basePath, record)) {
    logMessage("Error in mounting " + printable(imageName));
    return endWith(26);
  }

  if (!commandSucceeded(GetOutput("/bin/bash", outcome.cmd_string, limit))) {
    logMessage("Error in mounting " + printable(imageName));
    return endWith(26);
  }

  if (!itemExists(record)) {
    logMessage("qzmount.plist is not available");
    return endWith(1);
  }

  // Only a record this user alone could have written is read: anything else may say
  // whatever another user wants searched and installed.
  Result<std::string> contents = readPrivateFile(record, kLargestRecord);
  if (!contents) {
    return endWith(abandonOnReadFailure(record, contents.error().description));
  }
  outcome.plistData = std::move(*contents);

  Result<std::vector<SystemEntity>> entities = readMountRecordBytes(*outcome.plistData);
  if (!entities) {
    return endWith(abandonOnReadFailure(record, entities.error().description));
  }
  if (entities->empty()) {
    logMessage("No rows found in mounted volume's plist, hence installation failed!!!!!");
    removeFiles(record);
    return endWith(1);
  }
  logMessage("Array count in systemEntities " + std::to_string(entities->size()));
  outcome.entities = std::move(*entities);
  return outcome;
}

int abandonOnReadFailure(const std::string& recordPath, std::string_view description) {
  logMessage("PropertyListSerialization Failed!!!!! or not able to get contents of directory " +
             std::string(description));
  removeFiles(recordPath);
  return 1;
}

}  // namespace installer
