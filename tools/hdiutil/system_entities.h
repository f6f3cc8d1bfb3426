#pragma once

#include <optional>
#include <string>
#include <vector>

#include "disk_layout.h"

namespace installer::standin {

// One entry of hdiutil's "system-entities": a disk, a partition or a mounted volume.
struct SystemEntity {
  std::string contentHint;
  std::string devEntry;
  std::optional<std::string> mountPoint;  // only for mounted volumes
  bool potentiallyMountable = false;
  std::string unmappedContentHint;
  std::optional<std::string> volumeKind;  // only for mounted volumes
};

// How many /dev/disk numbers attaching `layout` takes: one for the image, one more
// for each APFS container it synthesises.
size_t disksNeeded(const DiskLayout& layout);

// The entities hdiutil reports for `layout`, whose volumes are mounted at
// `mountPoints` (same order), using the disk numbers `disks` (disksNeeded of them).
std::vector<SystemEntity> describeEntities(const DiskLayout& layout, const std::vector<std::string>& mountPoints,
                                           const std::vector<int>& disks);

// hdiutil's XML property list for attach -plist: a dictionary whose
// "system-entities" array holds one dictionary per entity.
std::string entitiesPropertyList(const std::vector<SystemEntity>& entities);

// hdiutil's table for attach without -plist: device, content hint, mount point.
std::string entitiesTable(const std::vector<SystemEntity>& entities);

}  // namespace installer::standin
