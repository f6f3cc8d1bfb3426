#include "support/disk_images.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "hdiutil/seven_zip.h"

namespace testing_support {

namespace fs = std::filesystem;
using namespace installer::standin;

namespace {

// One entry of a listing as a tree item.  Built as a new string: GCC 12 warns falsely
// (-Wrestrict) when a literal is assigned to a string it cannot see the length of.
std::string itemOfEntry(const ArchiveEntry& entry) {
  if (entry.folder || entry.mode.starts_with("d")) {
    return "d";
  }
  std::string size = std::to_string(entry.size.value_or(0));
  if (entry.mode.starts_with("l")) {
    return entry.symbolicLink.empty() ? "l " + size : "l -> " + entry.symbolicLink;
  }
  return "f " + size;
}

// The entries of one file system's listing as a tree; an HFS volume's contents sit
// in one folder named after the volume, which is taken off.
Tree treeOfListing(const ArchiveListing& listing) {
  std::string top;
  if (listing.layers.back().type == "HFS") {
    for (const auto& entry : listing.entries) {
      if (entry.path.find('/') == std::string::npos) {
        top = entry.path + "/";
      }
    }
  }
  Tree tree;
  for (const auto& entry : listing.entries) {
    if (entry.alternateStream || !entry.path.starts_with(top) || entry.path.size() == top.size()) {
      continue;
    }
    tree.insert_or_assign(entry.path.substr(top.size()), itemOfEntry(entry));
  }
  return tree;
}

bool isFileSystem(const ArchiveListing& listing) {
  static const std::vector<std::string> kTypes = {"HFS", "APFS", "Iso", "FAT", "NTFS"};
  return !listing.layers.empty() &&
         std::find(kTypes.begin(), kTypes.end(), listing.layers.back().type) != kTypes.end();
}

}  // namespace

std::optional<std::string> fixtureImagesFolder() {
  for (const std::string& candidate :
       {std::string(PROJECT_SOURCE_DIR) + "/../shared/fixtures/images", std::string("/work/shared/fixtures/images")}) {
    if (std::error_code error; fs::is_directory(candidate, error)) {
      return fs::canonical(candidate).string();
    }
  }
  return std::nullopt;
}

std::string fixtureImage(const std::string& relative) { return fixtureImagesFolder().value_or("") + "/" + relative; }

bool sevenZipInstalled() { return findSevenZip().has_value(); }

bool holdsNothing(const std::string& folder) {
  std::error_code error;
  return !fs::exists(fs::symlink_status(folder, error)) || fs::is_empty(folder, error);
}

Tree treeOf(const std::string& folder) {
  Tree tree;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    struct stat status {};
    if (::lstat(it->path().c_str(), &status) != 0) {
      continue;
    }
    std::string size = std::to_string(status.st_size);
    tree[it->path().string().substr(folder.size() + 1)] =
        S_ISDIR(status.st_mode)   ? "d"
        : S_ISLNK(status.st_mode) ? "l " + size + " -> " + fs::read_symlink(it->path()).string()
                                  : "f " + size;
  }
  return tree;
}

std::vector<Tree> sevenZipVolumeTrees(const std::string& image) {
  std::string sevenZip = findSevenZip().value_or("7zz");
  installer::Result<ArchiveListing> listing = listArchive(sevenZip, image);
  if (!listing || listing->layers.empty()) {
    return {};
  }
  if (isFileSystem(*listing)) {
    return {treeOfListing(*listing)};
  }
  // A partition map: 7-Zip shows the partitions as files, each of which opens again.
  TempDir partitions;
  std::string type = listing->layers.back().type;
  std::transform(type.begin(), type.end(), type.begin(), ::tolower);
  (void)extractArchive(sevenZip, image, partitions.path(), type);
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(partitions.path())) {
    files.push_back(entry.path().filename().string());
  }
  std::sort(files.begin(), files.end(),
            [](const std::string& a, const std::string& b) { return std::stoi(a) < std::stoi(b); });
  std::vector<Tree> trees;
  for (const auto& file : files) {
    installer::Result<ArchiveListing> inner = listArchive(sevenZip, partitions / file);
    if (inner && isFileSystem(*inner)) {
      trees.push_back(treeOfListing(*inner));
    }
  }
  return trees;
}

bool makeIsoImage(const std::string& image, const std::string& volumeName,
                  const std::vector<std::pair<std::string, std::string>>& contents) {
  std::vector<std::string> argv = {"/usr/bin/env", "xorriso", "-as", "mkisofs", "-quiet", "-R",
                                   "-V", volumeName, "-o", image, "-graft-points"};
  for (const auto& [at, source] : contents) {
    argv.push_back(at + "=" + source);
  }
  return runProgram(argv).exitStatus == 0;
}

ProgramRun runStandIn(const std::vector<std::string>& arguments, const std::string& base) {
  std::vector<std::string> argv = {"/bin/bash", "-c", "echo YES | \"$0\" \"$@\"", HDIUTIL_STANDIN_BINARY};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runProgram(argv, {"HDIUTIL_STANDIN_DIR=" + base});
}

AttachedImage::AttachedImage(const std::string& image, const std::string& base) : base_(base) {
  run_ = runStandIn({"attach", "-nobrowse", "-plist", image}, base);
  auto entities = installer::readMountRecordBytes(run_.standardOutput);
  entities_ = entities ? *entities : std::vector<installer::SystemEntity>{};
  attached_ = mountPoints();
}

AttachedImage::~AttachedImage() {
  for (const auto& mountPoint : attached_) {
    runStandIn({"detach", "-force", mountPoint}, base_);
  }
}

std::vector<std::string> AttachedImage::mountPoints() const {
  std::vector<std::string> mountPoints;
  for (const auto& entity : entities_) {
    if (entity.mountPoint) {
      mountPoints.push_back(*entity.mountPoint);
    }
  }
  return mountPoints;
}

ProgramRun AttachedImage::detach(const std::string& mountPoint) {
  std::erase(attached_, mountPoint);
  return runStandIn({"detach", "-force", mountPoint}, base_);
}

}  // namespace testing_support
