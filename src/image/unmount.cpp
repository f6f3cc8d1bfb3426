#include "image/unmount.h"

#include "image/shell_quote.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "runner/runner.h"

namespace installer {

std::string detachCommandLine(const std::string& mountPoint) {
  // hdiutil's customary form, the mount point between double quotes, is safe only
  // while it holds nothing bash reads there.  A backslash in front of such a byte
  // would not do: in the Big5, GBK, GB18030 and Shift_JIS locales, which bash takes
  // from the caller, the byte before it can make the backslash the second half of a
  // character, leaving a '$' or '`' free to run a command.  Single quotes hold in
  // every locale.
  if (hasDoubleQuoteSpecials(mountPoint)) {
    return "hdiutil detach -force " + shellWord(mountPoint);
  }
  return "hdiutil detach -force \"" + mountPoint + "\"";
}

void unmountDMG(const std::string& path, const std::string& imageName) {
  if (commandSucceeded(GetOutput("/bin/bash", detachCommandLine(path)))) {
    return;
  }
  // The message names the image, as given on the command line, not the mount point.
  logMessage("Error in unmount " + printable(imageName));
}

void removeFiles(const std::string& path) {
  if (!removeItem(path)) {
    logMessage("Error in deleting the plist");
  }
}

}  // namespace installer
