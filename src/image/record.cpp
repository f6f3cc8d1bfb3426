#include "image/record.h"

#include <optional>

#include "platform/property_list.h"

namespace installer {

namespace {

// The property list inside text that hdiutil printed around it, when there is one.
std::optional<std::string_view> embeddedPropertyList(std::string_view bytes) {
  size_t start = bytes.find("<?xml");
  if (start == std::string_view::npos) {
    start = bytes.find("<plist");
  }
  constexpr std::string_view kClose = "</plist>";
  size_t close = bytes.rfind(kClose);
  if (start == std::string_view::npos || close == std::string_view::npos || close < start) {
    return std::nullopt;
  }
  std::string_view inner = bytes.substr(start, close + kClose.size() - start);
  if (inner.size() == bytes.size()) {
    return std::nullopt;  // nothing around it: the whole has been tried
  }
  return inner;
}

Result<PropertyListTree> parseWithLicenceFallback(std::string_view bytes) {
  Result<PropertyListTree> parsed = parsePropertyList(bytes);
  if (parsed) {
    return parsed;
  }
  if (auto inner = embeddedPropertyList(bytes)) {
    return parsePropertyList(*inner);
  }
  return parsed;
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
    SystemEntity reduced;
    plist_t mountPoint = plist_dict_get_item(entity, "mount-point");
    if (mountPoint != nullptr && plist_get_node_type(mountPoint) == PLIST_STRING) {
      uint64_t length = 0;
      const char* text = plist_get_string_ptr(mountPoint, &length);
      reduced.mountPoint = text != nullptr ? std::string(text, length) : std::string();
    }
    entities.push_back(std::move(reduced));
  }
  return entities;
}

}  // namespace

Result<std::vector<SystemEntity>> readMountRecordBytes(std::string_view bytes) {
  Result<PropertyListTree> parsed = parseWithLicenceFallback(bytes);
  if (!parsed) {
    return parsed.error();
  }
  return entitiesOf(parsed->get());
}

}  // namespace installer
