// image-installer: installs one application bundle from a disk image into
// /Applications.  Usage: image-installer <image file name> <bundle name>
#include "driver/run.h"
#include "driver/sequence.h"
#include "driver/startup.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  using namespace installer;

  // Deployment systems sometimes start tools with standard streams closed; a file
  // opened later must not land on one and receive the log.
  ensureStandardDescriptorsOpen();
  // A log reader that goes away must not stop the install before its clean-up.
  ignoreBrokenPipeSignals();

  // What this run learns, step by step; each step takes what it needs from it.
  Run run;
  run.arguments.assign(argv, argv + argc);
  run.destinationFolder = "/Applications/";

  // Start-up: check and log the arguments, find the working folder.
  if (auto status = startUp(run)) {
    return *status;
  }

  // Mount: attach the image and read what hdiutil says about its volumes.
  if (auto status = attachImage(run)) {
    return *status;
  }

  // Search the volumes for the bundle, install it, clean up.
  return installFromVolumes(run);
}
