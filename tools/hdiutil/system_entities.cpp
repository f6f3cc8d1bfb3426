#include "system_entities.h"

#include <plist/plist.h>

#include <cstdio>

#include "platform/property_list.h"

namespace installer::standin {

namespace {

// The GUID partition types and APFS content kinds hdiutil reports as unmapped hints.
constexpr const char* kHfsPartitionGuid = "48465300-0000-11AA-AA11-00306543ECAC";
constexpr const char* kApfsPartitionGuid = "7C3457EF-0000-11AA-AA11-00306543ECAC";
constexpr const char* kApfsContainerGuid = "EF57347C-0000-11AA-AA11-00306543ECAC";
constexpr const char* kApfsVolumeGuid = "41504653-0000-11AA-AA11-00306543ECAC";
constexpr const char* kGuidScheme = "GUID_partition_scheme";

std::string unmappedHint(const std::string& contentHint, const std::string& scheme) {
  if (scheme == kGuidScheme) {
    if (contentHint == "Apple_HFS" || contentHint == "Apple_HFSX") {
      return kHfsPartitionGuid;
    }
    if (contentHint == "Apple_APFS") {
      return kApfsPartitionGuid;
    }
  }
  return contentHint;
}

std::string diskEntry(int number) { return "/dev/disk" + std::to_string(number); }

}  // namespace

size_t disksNeeded(const DiskLayout& layout) {
  size_t count = 1;
  for (const auto& volume : layout.volumes) {
    count += volume.volumeKind == "apfs" ? 1 : 0;
  }
  return count;
}

std::vector<SystemEntity> describeEntities(const DiskLayout& layout, const std::vector<std::string>& mountPoints,
                                           const std::vector<int>& disks) {
  std::vector<SystemEntity> entities;
  const std::string& scheme = layout.partitionScheme;
  std::string disk = diskEntry(disks.at(0));
  if (!scheme.empty()) {
    entities.push_back({scheme, disk, std::nullopt, false, scheme, std::nullopt});
  }
  size_t nextDisk = 1;
  for (size_t index = 0; index < layout.volumes.size(); ++index) {
    const FoundVolume& volume = layout.volumes[index];
    std::string entry = scheme.empty() ? disk : disk + "s" + std::to_string(index + 1);
    std::string unmapped = unmappedHint(volume.contentHint, scheme);
    if (volume.volumeKind == "apfs") {
      // An APFS partition is a container; its volumes sit on a disk of their own.
      std::string container = diskEntry(disks.at(nextDisk++));
      entities.push_back({volume.contentHint, entry, std::nullopt, false, unmapped, std::nullopt});
      entities.push_back({kApfsContainerGuid, container, std::nullopt, false, kApfsContainerGuid, std::nullopt});
      entities.push_back({kApfsVolumeGuid, container + "s1", mountPoints.at(index), true, kApfsVolumeGuid, "apfs"});
    } else {
      entities.push_back({volume.contentHint, entry, mountPoints.at(index), true, unmapped, volume.volumeKind});
    }
  }
  return entities;
}

std::string entitiesPropertyList(const std::vector<SystemEntity>& entities) {
  PropertyListTree root(plist_new_dict());
  plist_t array = plist_new_array();
  for (const auto& entity : entities) {
    // Keys in the order hdiutil writes them.
    plist_t item = plist_new_dict();
    plist_dict_set_item(item, "content-hint", plist_new_string(entity.contentHint.c_str()));
    plist_dict_set_item(item, "dev-entry", plist_new_string(entity.devEntry.c_str()));
    if (entity.mountPoint) {
      plist_dict_set_item(item, "mount-point", plist_new_string(entity.mountPoint->c_str()));
    }
    plist_dict_set_item(item, "potentially-mountable", plist_new_bool(entity.potentiallyMountable ? 1 : 0));
    plist_dict_set_item(item, "unmapped-content-hint", plist_new_string(entity.unmappedContentHint.c_str()));
    if (entity.volumeKind) {
      plist_dict_set_item(item, "volume-kind", plist_new_string(entity.volumeKind->c_str()));
    }
    plist_array_append_item(array, item);
  }
  plist_dict_set_item(root.get(), "system-entities", array);
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(root.get(), &xml, &length);
  std::string text(xml != nullptr ? xml : "", length);
  plist_to_xml_free(xml);
  return text;
}

std::string entitiesTable(const std::vector<SystemEntity>& entities) {
  std::string table;
  for (const auto& entity : entities) {
    char line[128];
    std::snprintf(line, sizeof line, "%-20s\t%-32s\t", entity.devEntry.c_str(), entity.contentHint.c_str());
    table += line + entity.mountPoint.value_or("") + "\n";
  }
  return table;
}

}  // namespace installer::standin
