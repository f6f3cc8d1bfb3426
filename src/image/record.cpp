#include "image/record.h"

#include "platform/property_list.h"

namespace installer {

namespace {

// A licence agreement may quote the markers itself; each start is tried in turn, but
// no more than this many of each marker, so that hostile bytes cannot make the work
// grow with the square of their size.
constexpr size_t kMostStartsTried = 32;

Result<PropertyListTree> parseWithLicenceFallback(std::string_view bytes) {
  Result<PropertyListTree> parsed = parsePropertyList(bytes);
  if (parsed) {
    return parsed;
  }
  constexpr std::string_view kClose = "</plist>";
  size_t close = bytes.rfind(kClose);
  if (close == std::string_view::npos) {
    return parsed;
  }
  const size_t end = close + kClose.size();
  for (std::string_view marker : {std::string_view("<?xml"), std::string_view("<plist")}) {
    size_t start = bytes.find(marker);
    for (size_t tried = 0; start < close && tried < kMostStartsTried; ++tried) {
      if (start > 0 || end < bytes.size()) {  // the whole has been tried
        parsed = parsePropertyList(bytes.substr(start, end - start));
        if (parsed) {
          return parsed;
        }
      }
      start = bytes.find(marker, start + 1);
    }
  }
  return parsed;
}

// The string under `key` in the dictionary `entity`, when there is one.
std::optional<std::string> stringItem(plist_t entity, const char* key) {
  plist_t item = plist_dict_get_item(entity, key);
  if (item == nullptr || plist_get_node_type(item) != PLIST_STRING) {
    return std::nullopt;
  }
  uint64_t length = 0;
  const char* text = plist_get_string_ptr(item, &length);
  return text != nullptr ? std::string(text, length) : std::string();
}

// The entities of a record of the expected shape, none for any other shape.
std::vector<SystemEntity> entitiesOf(plist_t top) {
  if (plist_get_node_type(top) != PLIST_DICT || plist_dict_get_size(top) == 0) {
    return {};
  }
  plist_t list = plist_dict_get_item(top, "system-entities");
  if (list == nullptr || plist_get_node_type(list) != PLIST_ARRAY || plist_array_get_size(list) == 0) {
    return {};
  }
  std::vector<SystemEntity> entities;
  uint32_t count = plist_array_get_size(list);
  entities.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    plist_t entity = plist_array_get_item(list, i);
    if (entity == nullptr || plist_get_node_type(entity) != PLIST_DICT) {
      return {};  // one element of another kind spoils the whole list
    }
    entities.push_back(SystemEntity{stringItem(entity, "mount-point"), stringItem(entity, "dev-entry")});
  }
  return entities;
}

}  // namespace

std::string wholeDevice(const std::vector<SystemEntity>& entities) {
  constexpr std::string_view kDisk = "/dev/disk";
  for (const SystemEntity& entity : entities) {
    const std::optional<std::string>& device = entity.devEntry;
    if (device && device->size() > kDisk.size() && device->starts_with(kDisk) &&
        device->find_first_not_of("0123456789", kDisk.size()) == std::string::npos) {
      return *device;
    }
  }
  return "";
}

Result<std::vector<SystemEntity>> readMountRecordBytes(std::string_view bytes) {
  Result<PropertyListTree> parsed = parseWithLicenceFallback(bytes);
  if (!parsed) {
    return parsed.error();
  }
  return entitiesOf(parsed->get());
}

}  // namespace installer
