#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "image/mount.h"

namespace installer {

// What the bytes of a mount record come to.
enum class RecordVerdict {
  Entities,          // a dictionary whose "system-entities" is a non-empty array of dictionaries
  NotAPropertyList,  // the bytes could not be parsed; see `error`
  NoRows,            // a property list, but not of that shape
};

struct RecordReading {
  RecordVerdict verdict = RecordVerdict::NotAPropertyList;
  std::vector<SystemEntity> entities;  // in record order, for Entities
  std::string error;                   // for NotAPropertyList
};

// Reads the mount record's bytes (XML or binary property list).  hdiutil prints an
// image's licence agreement on the same output before the property list (and
// sometimes text after it), so bytes that do not parse as a whole are tried once more
// from the first "<?xml" (or, without one, the first "<plist") to the end of the last
// "</plist>".  Any bytes at all are safe to pass.
RecordReading readMountRecordBytes(std::string_view bytes);

}  // namespace installer
