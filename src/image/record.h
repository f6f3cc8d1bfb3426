#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace installer {

// One system entity of the attached image, reduced to what the search needs.
struct SystemEntity {
  // The entity's "mount-point" string; nothing when the key is missing or its value
  // is not a string (a partition map, a whole-disk entry).
  std::optional<std::string> mountPoint;
};

// The system entities in the bytes of a mount record (an XML or binary property
// list), in record order: the "system-entities" array of dictionaries under a
// dictionary.  An empty list when the bytes are a property list of any other shape
// (no such key, not an array, an element that is not a dictionary, no elements); an
// Error when they are no property list at all.
//
// hdiutil prints an image's licence agreement on the same output before the property
// list (and sometimes text after it), so bytes that do not parse as a whole are tried
// once more from the first "<?xml" (or, without one, the first "<plist") to the end of
// the last "</plist>".  Any bytes at all are safe to pass.
Result<std::vector<SystemEntity>> readMountRecordBytes(std::string_view bytes);

}  // namespace installer
