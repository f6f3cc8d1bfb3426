#pragma once

#include <string>
#include <vector>

namespace testing_support {

// One line per item at and below `root`, sorted: relative path, kind, permission
// bits, owner, modification time to the nanosecond, link target or whole contents,
// and the extended attributes a copy keeps (user.* on Linux, all of them on macOS).
// Two trees hold the same things when their snapshots are equal.
// With `asCopied`, each mode is the one a copy made by this process gets (as the
// self-test's keptMode says), so a source's snapshot equals its copy's.
enum class SnapshotModes { asTheyAre, asCopied };
std::vector<std::string> snapshotTree(const std::string& root, SnapshotModes modes = SnapshotModes::asTheyAre);

// The names in the folder at `path`, sorted.
std::vector<std::string> namesIn(const std::string& path);

// The value of the extended attribute `name` of the item at `path` itself, or
// "<none>".
std::string attributeOf(const std::string& path, const std::string& name);
void setAttribute(const std::string& path, const std::string& name, const std::string& value);

// Sets the access and modification times of the item at `path` itself.
void setTimes(const std::string& path, long long accessSeconds, long accessNanos, long long modifySeconds,
              long modifyNanos);

}  // namespace testing_support
