// image-installer: installs one application bundle from a disk image into
// /Applications.  Usage: image-installer <image file name> <bundle name>
#include <string>
#include <vector>

#include "driver/sequence.h"
#include "driver/startup.h"
#include "image/mount.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  using namespace installer;

  // Deployment systems sometimes start tools with standard streams closed; a file
  // opened later must not land on one and receive the log.
  ensureStandardDescriptorsOpen();
  // A log reader that goes away must not stop the install before its clean-up.
  ignoreBrokenPipeSignals();

  // Start-up: check and log the arguments, find the working folder.
  std::vector<std::string> commandLine(argv, argv + argc);
  if (auto status = startUp(commandLine)) {
    return *status;
  }

  // Mount: attach the image and read what hdiutil says about its volumes.
  MountOutcome mounted = mountImage(commandLine[1]);
  if (!mounted.entities) {
    return mounted.exitStatus;
  }

  // Search the volumes for the bundle, install it, clean up.
  return installFromVolumes(*mounted.entities, commandLine[2]);
}
