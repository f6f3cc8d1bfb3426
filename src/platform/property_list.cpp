#include "platform/property_list.h"

#include <cstdint>
#include <limits>

namespace installer {

Result<PropertyListTree> parsePropertyList(std::string_view bytes) {
  // libplist takes a 32-bit length.
  if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
    return Error{0, "The property list is too large to read (" + std::to_string(bytes.size()) + " bytes)."};
  }
  auto length = static_cast<std::uint32_t>(bytes.size());
  bool binary = plist_is_binary(bytes.data(), length) != 0;

  Result<PropertyListBounds> scan = binary ? scanBinaryPropertyList(bytes, kPropertyListLimits)
                                           : scanXmlPropertyList(bytes, kPropertyListLimits);
  if (!scan) {
    return scan.error();
  }

  plist_t root = nullptr;
  if (binary) {
    plist_from_bin(bytes.data(), length, &root);
  } else {
    plist_from_xml(bytes.data(), length, &root);
  }
  if (root == nullptr) {
    return Error{0, std::string(kNotAPropertyList)};
  }
  return PropertyListTree(root);
}

}  // namespace installer
