#pragma once

#include <optional>
#include <string>
#include <vector>

namespace testing_support {

// An XML property list shaped as `hdiutil attach -plist` prints it: "system-entities"
// with one entity per element; an element without a mount point becomes a partition
// map entity (content-hint, dev-entry, no mount-point), one with a mount point a
// volume entity (content-hint, dev-entry, mount-point, potentially-mountable,
// volume-kind).
std::string hdiutilRecord(const std::vector<std::optional<std::string>>& mountPoints);

// The bytes of the record `name` in the fuzzer's seed corpus (fuzz/corpus/record).
std::string recordSeed(const std::string& name);

}  // namespace testing_support
