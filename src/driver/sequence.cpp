#include "driver/sequence.h"

#include <algorithm>

#include "image/mount.h"
#include "image/unmount.h"
#include "install/copy_app.h"
#include "install/unhide.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "platform/utf8.h"

namespace installer {

namespace {

// Copies the bundle found on the volume at `mountPoint` under `nameOnVolume` into the
// destination folder, cleans up, and returns the exit status.
int install(const Run& run, const std::string& mountPoint, const std::string& nameOnVolume,
            const std::string& device) {
  // The source takes the name as the volume stores it: on file systems that keep names
  // byte for byte, a bundle stored decomposed is not found under the composed name asked
  // for.  The installed copy takes the name asked for.
  std::string source = mountPoint + "/" + nameOnVolume;
  std::string destination = run.destinationFolder + run.bundleName();
  logMessage("Copying from appPath : " + printable(source) + " destinationPath : " + printable(destination));

  bool copied = copyApp(source, destination);

  // The record goes first, then the volume, whatever became of the copy.
  removeFiles(run.recordPath());
  unmountDMG(mountPoint, run.imageName(), device);

  if (!copied) {
    return 1;
  }
  if (!checkAndUnhideApp(destination)) {
    // The record is gone already; removing it again says so in the log.
    removeFiles(run.recordPath());
    return 1;
  }
  return 0;
}

void appendEscaped(std::string& text, std::string_view name) {
  for (char c : withInvalidUtf8Replaced(name)) {
    if (c == '"' || c == '\\') {
      text += '\\';
      text += c;
    } else {
      appendPrintable(text, c);
    }
  }
}

}  // namespace

bool sameBundleName(std::string_view onVolume, std::string_view asked) {
  auto composedOnVolume = composedForm(onVolume);
  auto composedAsked = composedForm(asked);
  if (!composedOnVolume || !composedAsked) {
    return onVolume == asked;
  }
  return *composedOnVolume == *composedAsked;
}

std::string listingText(const std::vector<std::string>& names) {
  std::string text = "[";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      text += ", ";
    }
    text += '"';
    appendEscaped(text, names[i]);
    text += '"';
  }
  text += ']';
  return text;
}

int installFromVolumes(const Run& run) {
  const std::string& bundleName = run.bundleName();
  // What a failed detach ejects instead.
  const std::string device = wholeDevice(run.systemEntities);
  // Becomes true once a volume has been searched without an install.
  bool mountPointSeen = false;

  for (const SystemEntity& entity : run.systemEntities) {
    // Partition maps and whole-disk entries carry no mount point.
    if (!entity.mountPoint) {
      continue;
    }
    const std::string& mountPoint = *entity.mountPoint;
    logMessage("mount-point : " + printable(mountPoint));

    // A mount point with a NUL byte in it would name one folder in the log and be
    // used as another, its part before the NUL.
    if (mountPoint.empty() || mountPoint.find('\0') != std::string::npos) {
      logMessage("mount-point not found in mounted volume's plist, hence installation failed!!!!!");
      mountPointSeen = true;
      continue;
    }

    Result<std::vector<std::string>> listing = listFolder(mountPoint);
    if (!listing) {
      return abandonInstall(run.recordPath(), listing.error().description);
    }
    const std::vector<std::string>& names = *listing;
    logMessage("Files list in the volume : " + listingText(names) + "\n files count " +
               std::to_string(names.size()));

    if (names.empty()) {
      logMessage("Files not found in mounted volume, hence installation failed!!!!!");
      unmountDMG(mountPoint, run.imageName(), device);
      mountPointSeen = true;
      continue;
    }

    auto match = std::find_if(names.begin(), names.end(),
                              [&](const std::string& name) { return sameBundleName(name, bundleName); });
    if (match == names.end()) {
      logMessage("Given app " + printable(bundleName) + " not found in mounted volume's plist, hence installation failed!!!!!");
      unmountDMG(mountPoint, run.imageName(), device);
      mountPointSeen = true;
      continue;
    }

    return install(run, mountPoint, *match, device);
  }

  if (!mountPointSeen) {
    logMessage("mount-point key not found in mounted volume's plist, hence installation failed!!!!!");
  }
  removeFiles(run.recordPath());
  return 1;
}

}  // namespace installer
