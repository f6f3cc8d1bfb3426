#include "image/mount.h"

#include <algorithm>
#include <iterator>

#include "driver/values.h"
#include "image/record.h"
#include "image/shell_quote.h"
#include "image/unmount.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "runner/runner.h"

namespace installer {

namespace {

constexpr const char* kRecordName = "qzmount.plist";

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

MountOutcome endWith(int status) { return MountOutcome{std::nullopt, status}; }

}  // namespace

std::string mountRecordPath() { return appendingPathComponent(basePath, kRecordName); }

std::string mountCommandLine(const std::string& base, const std::string& imageName) {
  return "echo YES | hdiutil attach -nobrowse -plist " + imagePathWord(base, imageName) + ">" +
         shellWord(appendingPathComponent(base, kRecordName));
}

MountOutcome mountImage(const std::string& imageName) {
  const std::string record = mountRecordPath();
  cmd_string = mountCommandLine(basePath, imageName);
  logMessage("Mount cmd ->" + cmd_string);

  // The shell's ">" follows a symbolic link and truncates its target, and the tool
  // often runs as root: whatever an earlier run or anyone else left at the record's
  // path goes first, the item itself and never what it points to.
  if (itemExists(record)) {
    removeFiles(record);
    if (itemExists(record)) {
      logMessage("Error in mounting " + imageName);
      return endWith(26);
    }
  }

  if (!commandSucceeded(GetOutput("/bin/bash", cmd_string))) {
    logMessage("Error in mounting " + imageName);
    return endWith(26);
  }

  if (!itemExists(record)) {
    logMessage("qzmount.plist is not available");
    return endWith(1);
  }

  FileContents contents = readWholeFile(record);
  plistData = contents.bytes;
  if (!plistData) {
    return endWith(abandonInstall(contents.error));
  }

  RecordReading reading = readMountRecordBytes(*plistData);
  switch (reading.verdict) {
    case RecordVerdict::NotAPropertyList:
      return endWith(abandonInstall(reading.error));
    case RecordVerdict::NoRows:
      logMessage("No rows found in mounted volume's plist, hence installation failed!!!!!");
      removeFiles(record);
      return endWith(1);
    case RecordVerdict::Entities:
      break;
  }
  logMessage("Array count in systemEntities " + std::to_string(reading.entities.size()));
  return MountOutcome{std::move(reading.entities), 0};
}

int abandonInstall(std::string_view description) {
  logMessage("PropertyListSerialization Failed!!!!! or not able to get contents of directory " +
             std::string(description));
  removeFiles(mountRecordPath());
  return 1;
}

}  // namespace installer
