#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include "disk_layout.h"
#include "mount_base.h"
#include "platform/error.h"
#include "platform/fd.h"
#include "platform/fs.h"
#include "platform/removal.h"
#include "presentation.h"
#include "seven_zip.h"
#include "system_entities.h"
#include "verbs.h"
#include "volume_tree.h"

namespace installer::standin {

namespace {

// A Mac's own disks take the first few numbers; images start above them.
constexpr int kFirstImageDisk = 4;

VerbOutcome attachFailed(const std::string& reason) { return {1, "", "hdiutil: attach failed - " + reason + "\n"}; }

std::vector<int> freeDisks(const std::set<int>& used, size_t count) {
  std::vector<int> disks;
  for (int number = kFirstImageDisk; disks.size() < count; ++number) {
    if (!used.contains(number)) {
      disks.push_back(number);
    }
  }
  return disks;
}

// Takes back every volume presented so far: a failed attach leaves nothing.
void undo(const std::string& base, const std::vector<MountSlot>& slots) {
  for (const auto& slot : slots) {
    (void)withdrawVolume(slot, Withdrawal::force);
    (void)releaseMountPoint(base, slot);
  }
}

// Opens the image into `scratch` and presents its volumes.
VerbOutcome attachWithScratch(const std::string& sevenZip, const std::string& base, const std::string& image,
                              const std::string& scratch, bool propertyList) {
  Result<DiskLayout> opened = openImage(sevenZip, image, scratch);
  if (!opened) {
    return attachFailed(opened.error().description);
  }
  const DiskLayout& layout = *opened;
  std::vector<int> disks = freeDisks(disksInUse(base), disksNeeded(layout));
  // Each volume's device entry goes into its marker, so that later attaches pick
  // other disk numbers.
  std::vector<SystemEntity> planned =
      describeEntities(layout, std::vector<std::string>(layout.volumes.size()), disks);
  std::vector<std::string> volumeEntries;
  for (const auto& entity : planned) {
    if (entity.mountPoint) {
      volumeEntries.push_back(entity.devEntry);
    }
  }

  std::vector<MountSlot> slots;
  std::vector<std::string> mountPoints;
  for (size_t index = 0; index < layout.volumes.size(); ++index) {
    const FoundVolume& volume = layout.volumes[index];
    Result<MountSlot> slot =
        reserveMountPoint(base, volume.name, "/dev/disk" + std::to_string(disks.front()), volumeEntries[index]);
    if (!slot) {
      undo(base, slots);
      return attachFailed(slot.error().description);
    }
    slots.push_back(*slot);
    if (Result<void> presented = presentVolume(base, *slot, volume.root); !presented) {
      undo(base, slots);
      return attachFailed(presented.error().description);
    }
    mountPoints.push_back(slot->mountPoint);
  }

  std::vector<SystemEntity> entities = describeEntities(layout, mountPoints, disks);
  return {0, propertyList ? entitiesPropertyList(entities) : entitiesTable(entities), ""};
}

}  // namespace

VerbOutcome attachImage(const std::string& image, bool propertyList) {
  // Non-blocking: a named pipe given as the image must not hang the attach.
  UniqueFd fd(::open(image.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  if (!fd || ::fstat(fd.get(), &status) != 0) {
    return attachFailed(errorText(errno));
  }
  if (!S_ISREG(status.st_mode) && !S_ISBLK(status.st_mode)) {
    return attachFailed("image not recognized");
  }
  std::optional<std::string> sevenZip = findSevenZip();
  if (!sevenZip) {
    return attachFailed("7zz, which reads disk images here, is not on PATH (Debian package 7zip)");
  }
  Result<std::string> base = openMountBase(Base::create);
  if (!base) {
    return attachFailed(base.error().description);
  }
  std::string scratch = *base + "/.attach-XXXXXX";
  if (::mkdtemp(scratch.data()) == nullptr) {
    return attachFailed(describeError(errno, "creating a folder in", *base));
  }
  VerbOutcome outcome = attachWithScratch(*sevenZip, *base, image, scratch, propertyList);
  makeFoldersRemovable(scratch);
  (void)removeItem(scratch);
  return outcome;
}

}  // namespace installer::standin
