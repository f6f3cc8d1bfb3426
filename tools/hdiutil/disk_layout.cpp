#include "disk_layout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <set>
#include <sstream>

#include "platform/error.h"
#include "platform/fd.h"
#include "platform/fs.h"
#include "seven_zip.h"
#include "volume_tree.h"

namespace installer::standin {

namespace {

// Formats whose items are partitions, each of which may hold a file system; the
// second name is what 7-Zip's -t switch calls them.
struct PartitionMapFormat {
  const char* listedType;
  const char* switchType;
  const char* scheme;
};
constexpr std::array<PartitionMapFormat, 4> kPartitionMaps = {{
    {"Dmg", "dmg", ""},
    {"GPT", "gpt", "GUID_partition_scheme"},
    {"MBR", "mbr", "FDisk_partition_scheme"},
    {"APM", "apm", "Apple_partition_scheme"},
}};

// File systems a Mac mounts, with the volume kind hdiutil reports for each.
struct FileSystemFormat {
  const char* listedType;
  const char* volumeKind;
  const char* wholeDiskHint;
};
constexpr std::array<FileSystemFormat, 5> kFileSystems = {{
    {"HFS", "hfs", "Apple_HFS"},
    {"APFS", "apfs", "Apple_APFS"},
    {"Iso", "cd9660", "CD_ROM_Mode_1"},
    {"FAT", "msdos", "DOS_FAT_32"},
    {"NTFS", "ntfs", "Windows_NTFS"},
}};

const PartitionMapFormat* partitionMapFormat(const std::string& type) {
  auto found = std::find_if(kPartitionMaps.begin(), kPartitionMaps.end(),
                            [&](const PartitionMapFormat& format) { return type == format.listedType; });
  return found == kPartitionMaps.end() ? nullptr : &*found;
}

const FileSystemFormat* fileSystemFormat(const std::string& type) {
  auto found = std::find_if(kFileSystems.begin(), kFileSystems.end(),
                            [&](const FileSystemFormat& format) { return type == format.listedType; });
  return found == kFileSystems.end() ? nullptr : &*found;
}

// "disk image (Apple_HFS : 4)" -> "Apple_HFS"; "" when the comment has no such part.
std::string partitionTypeOf(const std::string& comment) {
  size_t open = comment.rfind('(');
  size_t colon = comment.rfind(" : ");
  if (open == std::string::npos || colon == std::string::npos || colon < open) {
    return "";
  }
  return comment.substr(open + 1, colon - open - 1);
}

// The partition map of a disk image, from the comments 7-Zip gives its partitions.
std::string schemeOfDiskImage(const std::vector<ArchiveEntry>& partitions) {
  std::string scheme;
  for (const auto& partition : partitions) {
    const std::string& comment = partition.comment;
    if (comment.find("GPT ") != std::string::npos) {
      return "GUID_partition_scheme";
    }
    if (comment.find("Apple_partition_map") != std::string::npos) {
      scheme = "Apple_partition_scheme";
    } else if (comment.find("(MBR ") != std::string::npos && scheme.empty()) {
      scheme = "FDisk_partition_scheme";
    }
  }
  return scheme;
}

// Whether some item of a file system's listing lies below an item that is not a
// folder, as "evil/pwned" below a link "evil".  No Mac file system holds such a tree:
// the image is forged, and extracting it could write wherever the link leads.
bool holdsItemsBelowNonFolders(const std::vector<ArchiveEntry>& entries) {
  // Paths as 7-Zip makes them on extraction: no empty or "." components.
  auto tidy = [](const std::string& path) {
    std::string tidied;
    std::istringstream components(path);
    for (std::string component; std::getline(components, component, '/');) {
      if (!component.empty() && component != ".") {
        tidied += (tidied.empty() ? "" : "/") + component;
      }
    }
    return tidied;
  };
  std::set<std::string> nonFolders;
  for (const auto& entry : entries) {
    if (!entry.folder && !entry.mode.starts_with("d")) {
      nonFolders.insert(tidy(entry.path));
    }
  }
  for (const auto& entry : entries) {
    std::string path = tidy(entry.path);
    for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
      if (nonFolders.contains(path.substr(0, slash))) {
        return true;
      }
    }
  }
  return false;
}

// Whether the HFS+ or HFSX file system in the file at `path` keeps a journal: bit 13
// of the big-endian attributes at offset 4 of its volume header, 1024 bytes in.
bool isJournalledHfs(const std::string& path) {
  constexpr off_t kVolumeHeaderOffset = 1024;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::array<unsigned char, 8> header{};
  if (!fd || ::pread(fd.get(), header.data(), header.size(), kVolumeHeaderOffset) !=
                 static_cast<ssize_t>(header.size())) {
    return false;
  }
  return header[0] == 'H' && (header[1] == '+' || header[1] == 'X') && (header[6] & 0x20) != 0;
}

// The volume name as a path component: a '/' in it shows as ':', as a Mac shows it
// in paths, and an empty or dot name becomes the Finder's "Untitled".
std::string usableVolumeName(std::string name) {
  std::replace(name.begin(), name.end(), '/', ':');
  if (name.empty() || name == "." || name == "..") {
    return "Untitled";
  }
  return name;
}

// Extracts the file system in `source` (which 7-Zip opened as `layer`) into
// `folder` and describes it as a volume filling a disk without a partition map.
Result<FoundVolume> extractVolume(const std::string& sevenZip, const std::string& source, const ArchiveLayer& layer,
                                  const FileSystemFormat& format, const std::string& folder) {
  // The folder becomes the volume's root unless 7-Zip makes one inside it.
  if (::mkdir(folder.c_str(), 0755) != 0) {
    return Error{errno, errorText(errno)};
  }
  if (!extractArchive(sevenZip, source, folder)) {
    return Error{0, "corrupt image"};
  }
  FoundVolume volume;
  volume.volumeKind = format.volumeKind;
  volume.contentHint = format.wholeDiskHint;
  volume.root = folder;
  std::string type = format.listedType;
  std::vector<std::string> hidden;
  if (type == "HFS") {
    // 7-Zip puts an HFS volume's contents under one folder named after the volume
    // (never a link, which would lead the tidying below out of the volume).
    Result<std::vector<std::string>> top = listFolder(folder);
    struct stat status {};
    if (top && top->size() == 1 && ::lstat((folder + "/" + top->front()).c_str(), &status) == 0 &&
        S_ISDIR(status.st_mode)) {
      volume.name = top->front();
      volume.root = folder + "/" + volume.name;
    }
    // What the HFS+ driver keeps out of sight: its private folders for hard links
    // (7-Zip calls the second one "[HFS+ Private Data]") and, on a journalled
    // volume, the journal's files.  Other file systems show everything.
    hidden = {".HFS+ Private Directory Data\r", "[HFS+ Private Data]"};
    if (isJournalledHfs(source)) {
      hidden.insert(hidden.end(), {".journal", ".journal_info_block"});
    }
  } else if (type == "APFS") {
    volume.name = commentValue(layer, "volume_name");
  } else if (type == "Iso") {
    volume.name = isoVolumeName(source);
  } else if (type == "FAT") {
    volume.name = layer.label;
  }
  volume.name = usableVolumeName(volume.name);
  if (Result<void> tidied = tidyExtractedVolume(volume.root, folder, hidden); !tidied) {
    return tidied.error();
  }
  return volume;
}

// Extracts the partitions of an image in a partition map `map` (listed as
// `partitions`) and opens each one on its own: that finds every file system.
Result<DiskLayout> openPartitions(const std::string& sevenZip, const std::string& image, const PartitionMapFormat& map,
                                  const ArchiveListing& partitions, const std::string& scratch) {
  std::string partitionFolder = scratch + "/partitions";
  if (::mkdir(partitionFolder.c_str(), 0700) != 0) {
    return Error{errno, errorText(errno)};
  }
  // A damaged chunk shows only now, when its data is decompressed.
  if (!extractArchive(sevenZip, image, partitionFolder, map.switchType)) {
    return Error{0, "corrupt image"};
  }
  DiskLayout layout;
  layout.partitionScheme = *map.scheme != '\0' ? map.scheme : schemeOfDiskImage(partitions.entries);

  for (const auto& partition : partitions.entries) {
    if (partition.folder || partition.path.find('/') != std::string::npos) {
      continue;
    }
    std::string source = partitionFolder + "/" + partition.path;
    Result<ArchiveListing> inner = listArchive(sevenZip, source);
    const FileSystemFormat* format =
        !inner || inner->layers.empty() ? nullptr : fileSystemFormat(inner->layers.front().type);
    if (format == nullptr || holdsItemsBelowNonFolders(inner->entries)) {
      continue;  // free space, a partition map, a file system 7-Zip cannot read or a forged one
    }
    std::string folder = scratch + "/volume-" + std::to_string(layout.volumes.size() + 1);
    Result<FoundVolume> volume = extractVolume(sevenZip, source, inner->layers.front(), *format, folder);
    if (!volume) {
      return volume.error();
    }
    if (std::string partitionType = partitionTypeOf(partition.comment); !partitionType.empty()) {
      volume->contentHint = partitionType;
    }
    volume->partitioned = partition.comment.find("whole disk") == std::string::npos;
    layout.volumes.push_back(std::move(*volume));
  }
  if (layout.volumes.empty()) {
    return Error{0, "no mountable file systems"};
  }
  if (std::none_of(layout.volumes.begin(), layout.volumes.end(),
                   [](const FoundVolume& volume) { return volume.partitioned; })) {
    layout.partitionScheme.clear();  // one volume filling the disk, no map
  }
  return layout;
}

}  // namespace

std::string isoVolumeName(const std::string& path) {
  // The primary volume descriptor sits in sector 16; the identifier is 32 bytes at
  // offset 40, padded with blanks (hdiutil pads with NULs).
  constexpr off_t kDescriptorOffset = 16 * 2048;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::array<char, 72> descriptor{};
  if (!fd || ::pread(fd.get(), descriptor.data(), descriptor.size(), kDescriptorOffset) !=
                 static_cast<ssize_t>(descriptor.size())) {
    return "";
  }
  if (descriptor[0] != 1 || std::string(descriptor.data() + 1, 5) != "CD001") {
    return "";
  }
  std::string name(descriptor.data() + 40, 32);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\0')) {
    name.pop_back();
  }
  return name;
}

Result<DiskLayout> openImage(const std::string& sevenZip, const std::string& image, const std::string& scratch) {
  // A UDIF disk image, listed without 7-Zip descending into its partitions (it
  // would give up on the whole image when one of them is damaged).
  const PartitionMapFormat& diskImage = kPartitionMaps.front();
  if (Result<ArchiveListing> asDiskImage = listArchive(sevenZip, image, diskImage.switchType)) {
    return openPartitions(sevenZip, image, diskImage, *asDiskImage, scratch);
  }

  const Error notRecognized{0, "image not recognized"};
  Result<ArchiveListing> top = listArchive(sevenZip, image);
  if (!top || top->layers.empty()) {
    return notRecognized;
  }
  const std::string& outerType = top->layers.front().type;
  if (const FileSystemFormat* format = fileSystemFormat(outerType)) {
    // A bare file system (an ISO 9660 image, say): the image is the volume.
    if (holdsItemsBelowNonFolders(top->entries)) {
      return Error{0, "no mountable file systems"};
    }
    Result<FoundVolume> volume = extractVolume(sevenZip, image, top->layers.front(), *format, scratch + "/volume-1");
    if (!volume) {
      return volume.error();
    }
    return DiskLayout{"", {std::move(*volume)}};
  }
  const PartitionMapFormat* map = partitionMapFormat(outerType);
  if (map == nullptr) {
    return notRecognized;
  }
  Result<ArchiveListing> partitions = listArchive(sevenZip, image, map->switchType);
  if (!partitions) {
    return notRecognized;
  }
  return openPartitions(sevenZip, image, *map, *partitions, scratch);
}

}  // namespace installer::standin
