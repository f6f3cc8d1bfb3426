#include "driver/search.h"

#include <algorithm>

#include "image/mount.h"
#include "image/unmount.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "platform/utf8.h"

namespace installer {

namespace {

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

SearchOutcome searchVolumes(const Run& run) {
  const std::string& bundleName = run.bundleName();
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
      return SearchOutcome{std::nullopt, abandonOnReadFailure(run.recordPath(), listing.error().description)};
    }
    const std::vector<std::string>& names = *listing;
    logMessage("Files list in the volume : " + listingText(names) + "\n files count " +
               std::to_string(names.size()));

    if (names.empty()) {
      logMessage("Files not found in mounted volume, hence installation failed!!!!!");
      unmountDMG(mountPoint, run.imageName(), run.wholeDevice(), run.detachLimit);
      mountPointSeen = true;
      continue;
    }

    auto match = std::find_if(names.begin(), names.end(),
                              [&](const std::string& name) { return sameBundleName(name, bundleName); });
    if (match == names.end()) {
      logMessage("Given app " + printable(bundleName) + " not found in mounted volume's plist, hence installation failed!!!!!");
      unmountDMG(mountPoint, run.imageName(), run.wholeDevice(), run.detachLimit);
      mountPointSeen = true;
      continue;
    }
    return SearchOutcome{FoundBundle{mountPoint, *match}, 0};
  }

  if (!mountPointSeen) {
    logMessage("mount-point key not found in mounted volume's plist, hence installation failed!!!!!");
  }
  removeFiles(run.recordPath());
  return SearchOutcome{std::nullopt, 1};
}

}  // namespace installer
