#include "platform/property_list.h"

#include <cstdint>
#include <limits>

namespace installer {

ParsedPropertyList parsePropertyList(std::string_view bytes) {
  ParsedPropertyList parsed;
  // libplist takes a 32-bit length.
  if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
    parsed.error = "The property list is too large to read (" + std::to_string(bytes.size()) + " bytes).";
    return parsed;
  }
  auto length = static_cast<std::uint32_t>(bytes.size());
  bool binary = plist_is_binary(bytes.data(), length) != 0;

  PropertyListScan scan = binary ? scanBinaryPropertyList(bytes, kPropertyListLimits)
                                 : scanXmlPropertyList(bytes, kPropertyListLimits);
  if (!scan.problem.empty()) {
    parsed.error = scan.problem;
    return parsed;
  }

  plist_t root = nullptr;
  if (binary) {
    plist_from_bin(bytes.data(), length, &root);
  } else {
    plist_from_xml(bytes.data(), length, &root);
  }
  if (root == nullptr) {
    parsed.error = kNotAPropertyList;
    return parsed;
  }
  parsed.root.reset(root);
  return parsed;
}

}  // namespace installer
