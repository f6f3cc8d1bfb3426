#include "driver/startup.h"

#include "image/mount.h"
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
  logMessage("Given Param_1_dmg_name -> " + run.imageName() + "\n Given Param_2_app_name -> " + run.bundleName());

  auto location = mainBundleLocation();
  if (!location) {
    logMessage("Cannot find the tool's own location, hence installation failed!!!!!");
    return 1;
  }
  run.basePath = basePathForBundleLocation(*location);
  logMessage("Base Path " + run.basePath);
  return std::nullopt;
}

std::optional<int> attachImage(Run& run) {
  MountOutcome mounted = mountImage(run.basePath, run.imageName());
  run.cmd_string = std::move(mounted.cmd_string);
  run.plistData = std::move(mounted.plistData);
  if (!mounted.entities) {
    return mounted.exitStatus;
  }
  run.systemEntities = std::move(*mounted.entities);
  return std::nullopt;
}

}  // namespace installer
