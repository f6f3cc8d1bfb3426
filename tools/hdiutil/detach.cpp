#include "mount_base.h"
#include "presentation.h"
#include "verbs.h"
#include "volume_tree.h"

namespace installer::standin {

namespace {

VerbOutcome detachFailed(const std::string& reason) { return {1, "", "hdiutil: detach failed - " + reason + "\n"}; }

}  // namespace

VerbOutcome detachVolume(const std::string& mountPoint, bool force) {
  // Whatever the stand-in cannot prove it made does not exist as far as it is
  // concerned: it is never touched.
  const std::string kNotOurs = "No such file or directory";
  Result<std::string> base = openMountBase(Base::existing);
  if (!base) {
    return detachFailed(kNotOurs);
  }
  std::optional<MountSlot> slot = findOwnMountPoint(*base, mountPoint);
  if (!slot) {
    return detachFailed(kNotOurs);
  }
  if (Result<void> withdrawn = withdrawVolume(*slot, force ? Withdrawal::force : Withdrawal::gentle); !withdrawn) {
    return detachFailed(withdrawn.error().description);
  }
  // Removal must stay on the stand-in's own files: with anything still mounted in
  // the way, it would reach into another file system.
  if (!mountPointsWithin(slot->folder).empty() || !mountPointsWithin(boundVolumePath(*base, *slot)).empty()) {
    return detachFailed("Resource busy");
  }
  if (Result<void> released = releaseMountPoint(*base, *slot); !released) {
    return detachFailed(released.error().description);
  }
  // hdiutil names the whole disk it ejected: "disk4" ejected.
  std::string ejected(1, '"');
  ejected += slot->diskEntry.substr(slot->diskEntry.rfind('/') + 1);
  ejected += "\" ejected.\n";
  return {0, ejected, ""};
}

}  // namespace installer::standin
