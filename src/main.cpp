// image-installer: installs one application bundle from a disk image into
// /Applications.  Usage: image-installer <image file name> <bundle name>
#include "driver/attach.h"
#include "driver/install.h"
#include "driver/run.h"
#include "driver/search.h"
#include "driver/startup.h"
#include "platform/process.h"
#include "platform/scheduling.h"
#include "platform/version.h"

int main(int argc, char** argv) {
  using namespace installer;

  // An administrator reads the deployed version with what(1); no argument shows it.
  keepVersionMark();

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

  // Search: the first volume that holds the bundle; the others are detached on the way.
  SearchOutcome search = searchVolumes(run);
  if (!search.found) {
    return search.exitStatus;
  }

  // Install: copy the bundle into /Applications, replacing an older copy.  An install
  // is pushed to the machine, not awaited by its user: from here on the tool's disk
  // work yields to theirs.
  lowerIoPriority();
  const bool copied = installBundle(run, *search.found);

  // Clean up: the mount record first, then the volume, whatever became of the copy.
  cleanUp(run, *search.found);
  if (!copied) {
    return 1;
  }

  // Unhide: clear the installed bundle's hidden flag.
  return unhideInstalledBundle(run);
}
