#include "image/mount.h"

#include <algorithm>
#include <cerrno>
#include <iterator>

#include "image/shell_quote.h"
#include "image/unmount.h"
#include "platform/fs.h"
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
// truncates its target, while the tool often runs as root.  Whatever an earlier run
// or anyone else left there goes first, the item itself and never what it points to.
// Then the record is created here, empty and without following anything, for the
// shell to fill: where others may create files in the working folder (a folder shared
// like /tmp), they cannot remove or replace one of ours, so no link slips in before
// the shell opens it.  False when something stands there and stays.
bool prepareRecord(const std::string& record) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (itemExists(record)) {
      removeFiles(record);
      if (itemExists(record)) {
        return false;
      }
    }
    // Where the record cannot be made (a folder the tool may not write to), the
    // shell's own attempt fails and says why.
    Result<void> created = createEmptyFile(record);
    if (created || created.error().code != EEXIST) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string mountRecordPath(const std::string& basePath) { return appendingPathComponent(basePath, kRecordName); }

std::string mountCommandLine(const std::string& basePath, const std::string& imageName) {
  return "echo YES | hdiutil attach -nobrowse -plist " + imagePathWord(basePath, imageName) + ">" +
         shellWord(mountRecordPath(basePath));
}

MountOutcome mountImage(const std::string& basePath, const std::string& imageName) {
  MountOutcome outcome;
  auto endWith = [&](int status) {
    outcome.exitStatus = status;
    return std::move(outcome);
  };
  const std::string record = mountRecordPath(basePath);
  outcome.cmd_string = mountCommandLine(basePath, imageName);
  logMessage("Mount cmd ->" + printable(outcome.cmd_string));

  if (!prepareRecord(record)) {
    logMessage("Error in mounting " + printable(imageName));
    return endWith(26);
  }

  if (!commandSucceeded(GetOutput("/bin/bash", outcome.cmd_string))) {
    logMessage("Error in mounting " + printable(imageName));
    return endWith(26);
  }

  if (!itemExists(record)) {
    logMessage("qzmount.plist is not available");
    return endWith(1);
  }

  Result<std::string> contents = readRegularFile(record, kLargestRecord);
  if (!contents) {
    return endWith(abandonInstall(record, contents.error().description));
  }
  outcome.plistData = std::move(*contents);

  Result<std::vector<SystemEntity>> entities = readMountRecordBytes(*outcome.plistData);
  if (!entities) {
    return endWith(abandonInstall(record, entities.error().description));
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

int abandonInstall(const std::string& recordPath, std::string_view description) {
  logMessage("PropertyListSerialization Failed!!!!! or not able to get contents of directory " +
             std::string(description));
  removeFiles(recordPath);
  return 1;
}

}  // namespace installer
