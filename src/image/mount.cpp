#include "image/mount.h"

#include "driver/values.h"
#include "platform/log.h"

namespace installer {

// Placeholder until the mount step is built.
std::string mountRecordPath() { return appendingPathComponent(basePath, "qzmount.plist"); }

std::string mountCommandLine(const std::string& base, const std::string& imageName) {
  return "echo YES | hdiutil attach -nobrowse -plist " + appendingPathComponent(base, imageName) + ">" +
         appendingPathComponent(base, "qzmount.plist");
}

MountOutcome mountImage(const std::string& imageName) {
  logMessage("Error in mounting " + imageName);
  return MountOutcome{std::nullopt, 26};
}

int abandonInstall(std::string_view description) {
  logMessage("PropertyListSerialization Failed!!!!! or not able to get contents of directory " +
             std::string(description));
  return 1;
}

}  // namespace installer
