#include "driver/attach.h"

#include "image/mount.h"

namespace installer {

std::optional<int> attachImage(Run& run) {
  MountOutcome mounted = mountImage(run.basePath, run.imageName(), run.attachLimit);
  run.cmd_string = std::move(mounted.cmd_string);
  run.plistData = std::move(mounted.plistData);
  if (!mounted.entities) {
    return mounted.exitStatus;
  }
  run.systemEntities = std::move(*mounted.entities);
  return std::nullopt;
}

}  // namespace installer
