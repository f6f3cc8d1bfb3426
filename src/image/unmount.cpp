#include "image/unmount.h"

#include "image/shell_quote.h"
#include "platform/fs.h"
#include "platform/removal.h"
#include "platform/log.h"
#include "runner/runner.h"

namespace installer {

namespace {

// A mount point or device as the detach and eject lines hand it to bash.  hdiutil's
// customary form, between double quotes, is safe only while it holds nothing bash
// reads there.  A backslash in front of such a byte would not do: in the Big5, GBK,
// GB18030 and Shift_JIS locales the byte before it can make the backslash the second
// half of a character, leaving a '$' or '`' free to run a command.  Single quotes
// hold in every locale.
std::string quotedTarget(const std::string& target) {
  if (hasDoubleQuoteSpecials(target)) {
    return shellWord(target);
  }
  return "\"" + target + "\"";
}

}  // namespace

std::string detachCommandLine(const std::string& mountPoint) {
  return "hdiutil detach -force " + quotedTarget(mountPoint);
}

std::string ejectCommandLine(const std::string& target) { return "diskutil eject " + quotedTarget(target); }

void unmountDMG(const std::string& path, const std::string& imageName, const std::string& device,
                const TimeLimit& limit) {
  if (commandSucceeded(GetOutput("/bin/bash", detachCommandLine(path), limit))) {
    return;
  }
  // The message names the image, as given on the command line, not the mount point.
  logMessage("Error in unmount " + printable(imageName));

  const std::string& target = device.empty() ? path : device;
  if (commandSucceeded(GetOutput("/bin/bash", ejectCommandLine(target), limit))) {
    logMessage("Ejected " + printable(target) + " with diskutil");
  } else {
    logMessage("Error in eject " + printable(target));
  }
}

void removeFiles(const std::string& path) {
  if (!removeItem(path)) {
    logMessage("Error in deleting the plist");
  }
}

}  // namespace installer
