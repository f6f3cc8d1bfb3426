#include "support/record.h"

#include <plist/plist.h>

#include <cstdlib>
#include <memory>

#include "support/files.h"

namespace testing_support {

std::string hdiutilRecord(const std::vector<std::optional<std::string>>& mountPoints) {
  plist_t entities = plist_new_array();
  int disk = 4;
  for (const auto& mountPoint : mountPoints) {
    plist_t entity = plist_new_dict();
    std::string device = "/dev/disk" + std::to_string(disk) + (mountPoint ? "s1" : "");
    const char* hint = mountPoint ? "48465300-0000-11AA-AA11-00306543ECAC" : "GUID_partition_scheme";
    plist_dict_set_item(entity, "content-hint", plist_new_string(hint));
    plist_dict_set_item(entity, "dev-entry", plist_new_string(device.c_str()));
    if (mountPoint) {
      plist_dict_set_item(entity, "mount-point", plist_new_string(mountPoint->c_str()));
    }
    plist_dict_set_item(entity, "potentially-mountable", plist_new_bool(mountPoint ? 1 : 0));
    plist_dict_set_item(entity, mountPoint ? "volume-kind" : "unmapped-content-hint",
                        plist_new_string(mountPoint ? "hfs" : "GUID_partition_scheme"));
    plist_array_append_item(entities, entity);
  }
  plist_t root = plist_new_dict();
  plist_dict_set_item(root, "system-entities", entities);
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(root, &xml, &length);
  std::string text(xml, length);
  std::free(xml);
  plist_free(root);
  return text;
}

std::string recordSeed(const std::string& name) {
  return readFile(std::string(PROJECT_SOURCE_DIR) + "/fuzz/corpus/record/" + name);
}

}  // namespace testing_support
