#include "driver/startup.h"

#include "platform/log.h"
#include "platform/self.h"

namespace installer {

namespace {

std::string parentFolder(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.ends_with('/')) {
    trimmed.pop_back();
  }
  auto slash = trimmed.rfind('/');
  if (slash == std::string::npos || slash == 0) {
    return "/";
  }
  return trimmed.substr(0, slash);
}

}  // namespace

std::string basePathForBundleLocation(const std::string& bundleLocation) {
  return parentFolder(parentFolder(bundleLocation));
}

std::optional<int> startUp(Run& run) {
  if (run.arguments.size() <= 2) {
    logMessage("Arguments are low");
    return 1;
  }
  logMessage("Given Param_1_dmg_name -> " + printable(run.imageName()) + "\n Given Param_2_app_name -> " +
             printable(run.bundleName()));

  auto location = mainBundleLocation();
  if (!location) {
    logMessage("Cannot find the tool's own location, hence installation failed!!!!!");
    return 1;
  }
  run.basePath = basePathForBundleLocation(*location);
  logMessage("Base Path " + printable(run.basePath));
  return std::nullopt;
}

}  // namespace installer
