#include "image/record.h"

#include <optional>

#include "platform/property_list.h"

namespace installer {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// hdiutil writes its record last, after an image's licence agreement: text of the
// image's author, which may quote a property list, half of one or its tags alone.  So
// the record is the list that ends the output, only blanks after it: from the last
// "<plist" tag to the closing "</plist>", with no other "</plist" between them.  The
// declaration and document type in front of that tag tell libplist nothing.  hdiutil
// writes a '<' inside its strings as "&lt;", so its own list holds no other such tag.
std::optional<std::string_view> lastPropertyList(std::string_view bytes) {
  constexpr std::string_view kOpen = "<plist";
  constexpr std::string_view kClose = "</plist>";
  size_t end = bytes.size();
  while (end > 0 && isBlank(bytes[end - 1])) {
    --end;
  }
  if (!bytes.substr(0, end).ends_with(kClose)) {
    return std::nullopt;
  }
  const size_t close = end - kClose.size();
  const size_t start = bytes.rfind(kOpen, close);
  if (start == std::string_view::npos ||
      bytes.substr(start, close - start).find("</plist") != std::string_view::npos) {
    return std::nullopt;
  }
  return bytes.substr(start, end - start);
}

// A binary record is hdiutil's whole output; an XML one is the list that ends it.
Result<PropertyListTree> parseRecord(std::string_view bytes) {
  if (bytes.starts_with("bplist00")) {
    return parsePropertyList(bytes);
  }
  std::optional<std::string_view> list = lastPropertyList(bytes);
  if (!list) {
    return Error{0, std::string(kNotAPropertyList)};
  }
  return parsePropertyList(*list);
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
  Result<PropertyListTree> parsed = parseRecord(bytes);
  if (!parsed) {
    return parsed.error();
  }
  return entitiesOf(parsed->get());
}

}  // namespace installer
