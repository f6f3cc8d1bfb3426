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
  // The entity's "dev-entry" string ("/dev/disk4", "/dev/disk4s1"), when it has one.
  std::optional<std::string> devEntry;
};

// The image's whole device among `entities`: the first "dev-entry" that names a disk
// without a slice ("/dev/disk4", not "/dev/disk4s1"); "" when none does.
std::string wholeDevice(const std::vector<SystemEntity>& entities);

// The system entities in the bytes of a mount record (an XML or binary property
// list), in record order: the "system-entities" array of dictionaries under a
// dictionary.  An empty list when the bytes are a property list of any other shape
// (no such key, not an array, an element that is not a dictionary, no elements); an
// Error when they are no property list at all.
//
// hdiutil prints an image's licence agreement on the same output before the property
// list, and the record is what it writes last: a binary list must be the whole of the
// bytes, an XML one the list that ends them (from its "<plist" tag to its "</plist>",
// with only blanks after it), whatever lists or tags the text in front quotes.  Any
// bytes at all are safe to pass.
Result<std::vector<SystemEntity>> readMountRecordBytes(std::string_view bytes);

}  // namespace installer
