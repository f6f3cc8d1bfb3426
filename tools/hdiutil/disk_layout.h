#pragma once

#include <string>
#include <vector>

#include "platform/result.h"

namespace installer::standin {

// One file system found in the image and extracted into the scratch folder.
struct FoundVolume {
  std::string root;         // the extracted tree: what the mount point shows
  std::string name;         // the volume's name, as a Mac would show it
  std::string volumeKind;   // "hfs", "apfs", "cd9660", "msdos", ...
  std::string contentHint;  // the partition type: "Apple_HFS", "Apple_APFS", ...
  bool partitioned = false;  // lies in a partition map (else the image is the volume)
};

// The file systems an image holds, in partition order.
struct DiskLayout {
  // The partition map's kind ("GUID_partition_scheme", "FDisk_partition_scheme",
  // "Apple_partition_scheme"); "" for an image that is one volume without a map.
  std::string partitionScheme;
  std::vector<FoundVolume> volumes;
};

// Opens the disk image at `image` with 7-Zip (`sevenZip`) and extracts each of its
// file systems into its own folder under `scratch` (an empty folder of ours).  When
// the image cannot be attached, the Error's description is hdiutil's reason ("image
// not recognized", "corrupt image", "no mountable file systems", the system's text).
Result<DiskLayout> openImage(const std::string& sevenZip, const std::string& image, const std::string& scratch);

// The volume identifier of the ISO 9660 file system in the file at `path`, blanks and
// NULs at its end taken off; "" when the file holds none.
std::string isoVolumeName(const std::string& path);

}  // namespace installer::standin
