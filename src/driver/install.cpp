#include "driver/install.h"

#include "image/unmount.h"
#include "install/copy_app.h"
#include "install/unhide.h"
#include "platform/log.h"

namespace installer {

namespace {

std::string installedPath(const Run& run) { return run.destinationFolder + run.bundleName(); }

}  // namespace

bool installBundle(const Run& run, const FoundBundle& found) {
  // The source takes the name as the volume stores it: on file systems that keep names
  // byte for byte, a bundle stored decomposed is not found under the composed name asked
  // for.  The installed copy takes the name asked for.
  const std::string source = found.mountPoint + "/" + found.nameOnVolume;
  const std::string destination = installedPath(run);
  logMessage("Copying from appPath : " + printable(source) + " destinationPath : " + printable(destination));
  return copyApp(source, destination);
}

void cleanUp(const Run& run, const FoundBundle& found) {
  removeFiles(run.recordPath());
  unmountDMG(found.mountPoint, run.imageName(), run.wholeDevice(), run.detachLimit);
}

int unhideInstalledBundle(const Run& run) {
  if (checkAndUnhideApp(installedPath(run))) {
    return 0;
  }
  removeFiles(run.recordPath());
  return 1;
}

}  // namespace installer
