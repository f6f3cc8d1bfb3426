#include "image/unmount.h"

#include "image/shell_quote.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "runner/runner.h"

namespace installer {

std::string detachCommandLine(const std::string& mountPoint) {
  return "hdiutil detach -force \"" + escapedForDoubleQuotes(mountPoint) + "\"";
}

void unmountDMG(const std::string& path, const std::string& imageName) {
  if (commandSucceeded(GetOutput("/bin/bash", detachCommandLine(path)))) {
    return;
  }
  // The message names the image, as given on the command line, not the mount point.
  logMessage("Error in unmount " + imageName);
}

void removeFiles(const std::string& path) {
  if (!removeItem(path)) {
    logMessage("Error in deleting the plist");
  }
}

}  // namespace installer
