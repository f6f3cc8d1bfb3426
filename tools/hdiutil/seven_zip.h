#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"

namespace installer::standin {

// One archive level that 7-Zip opened: the image itself, then whatever it opened
// inside (a Dmg's only partition as HFS, for instance).
struct ArchiveLayer {
  std::string path;
  std::string type;     // "Dmg", "HFS", "APFS", "Iso", "FAT", "GPT", ...
  std::string method;   // "HFS+", "HFSX", ... for file systems
  std::string label;    // a FAT volume label
  std::string comment;  // the lines of a multi-line comment, joined by '\n'
  // For an inner layer: the comment of the item it was opened from in the level
  // above, e.g. "disk image (Apple_HFS : 4)".
  std::string itemComment;
};

// One item 7-Zip lists inside the innermost layer.
struct ArchiveEntry {
  std::string path;  // relative, '/'-separated
  bool folder = false;
  bool alternateStream = false;
  std::optional<unsigned long long> size;
  std::string mode;     // "drwxr-xr-x", "lrwxr-xr-x", ... ("" when not told)
  std::string comment;  // partitions: "(Apple_HFS : 4)"
  std::string symbolicLink;
};

struct ArchiveListing {
  std::vector<ArchiveLayer> layers;
  std::vector<ArchiveEntry> entries;
};

// The 7zz program found on PATH, or nothing.
std::optional<std::string> findSevenZip();

// What `7zz l -slt [-tTYPE] ARCHIVE` lists.  `forcedType` keeps 7-Zip from opening
// an inner level on its own ("dmg" lists a disk image's partitions).  An Error when
// 7zz cannot run, is killed or ends with a status other than 0.
Result<ArchiveListing> listArchive(const std::string& sevenZip, const std::string& archive,
                                   const std::string& forcedType = "");

// `7zz x -sns- -y [-tTYPE] -oFOLDER ARCHIVE`: everything in the archive into `folder`,
// links kept as links, no alternate streams.  7-Zip's own checks on links stay on:
// it refuses a relative link that leads out of `folder` (the extraction then fails)
// and writes an absolute link's target below `folder`.  An Error as for listArchive.
Result<void> extractArchive(const std::string& sevenZip, const std::string& archive, const std::string& folder,
                            const std::string& forcedType = "");

// Parses the output of `7zz l -slt`.
ArchiveListing parseListing(const std::string& output);

// The value of "key: value" inside a layer's multi-line comment ("volume_name" of an
// APFS volume), or "".
std::string commentValue(const ArchiveLayer& layer, const std::string& key);

}  // namespace installer::standin
