#include "support/disk_images.h"

#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>

#include "platform/property_list.h"

namespace testing_support {

namespace fs = std::filesystem;

namespace {

ProgramRun sevenZip(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {"/usr/bin/env", "7zz"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runProgram(argv);
}

// Items of `7zz l -slt` output: the archive types it opened, then one property map
// per listed item.
struct SevenZipListing {
  std::vector<std::string> types;
  std::vector<std::map<std::string, std::string>> items;
};

SevenZipListing parseSevenZipListing(const std::string& output) {
  SevenZipListing listing;
  bool inItems = false;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line == "----------") {
      inItems = true;
      continue;
    }
    size_t equals = line.find(" = ");
    std::string key = equals == std::string::npos ? line.substr(0, line.size() - 2) : line.substr(0, equals);
    std::string value = equals == std::string::npos ? "" : line.substr(equals + 3);
    if (equals == std::string::npos && !line.ends_with(" =")) {
      continue;
    }
    if (!inItems) {
      if (key == "Type") {
        listing.types.push_back(value);
      }
    } else if (key == "Path") {
      listing.items.push_back({{"Path", value}});
    } else if (!listing.items.empty()) {
      listing.items.back()[key] = value;
    }
  }
  return listing;
}

// The names a mounted volume does not show at its top.
bool isMetadataName(const std::string& name) {
  static const std::set<std::string> kNames = {"[HFS+ Private Data]", ".journal", ".journal_info_block",
                                               ".fseventsd", ".Trashes"};
  return kNames.contains(name) || name.starts_with(".HFS+ Private Directory Data");
}

Tree treeOfListing(const SevenZipListing& listing) {
  // 7-Zip shows an HFS volume's contents under one folder named after the volume.
  std::string top;
  if (!listing.types.empty() && listing.types.back() == "HFS") {
    for (const auto& item : listing.items) {
      if (item.at("Path").find('/') == std::string::npos) {
        top = item.at("Path") + "/";
      }
    }
  }
  Tree tree;
  for (const auto& item : listing.items) {
    auto value = [&](const std::string& key) { return item.contains(key) ? item.at(key) : std::string(); };
    std::string path = value("Path");
    if (value("Alternate Stream") == "+" || !path.starts_with(top) || path.size() == top.size()) {
      continue;
    }
    path = path.substr(top.size());
    if (isMetadataName(path.substr(0, path.find('/')))) {
      continue;
    }
    TreeItem entry;
    if (value("Folder") == "+" || value("Mode").starts_with("d")) {
      entry.kind = 'd';
    } else if (value("Mode").starts_with("l")) {
      entry.kind = 'l';
      entry.linkTarget = value("Symbolic Link");
    } else {
      entry.kind = 'f';
      entry.size = std::stoull(value("Size").empty() ? "0" : value("Size"));
    }
    tree[path] = entry;
  }
  return tree;
}

bool isFileSystemType(const std::string& type) {
  return type == "HFS" || type == "APFS" || type == "Iso" || type == "FAT" || type == "NTFS";
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

bool standInAvailable() {
#ifdef HDIUTIL_STANDIN_BINARY
  static const bool available = sevenZip({"i"}).exitStatus == 0;
  return available;
#else
  return false;
#endif
}

std::string standInBinary() {
#ifdef HDIUTIL_STANDIN_BINARY
  return HDIUTIL_STANDIN_BINARY;
#else
  return "";
#endif
}

bool holdsNothing(const std::string& folder) {
  std::error_code error;
  return !fs::exists(fs::symlink_status(folder, error)) || fs::is_empty(folder, error);
}

void PrintTo(const TreeItem& item, std::ostream* out) {
  *out << "{" << item.kind;
  if (item.kind == 'f') {
    *out << " " << item.size << " bytes";
  }
  if (!item.linkTarget.empty()) {
    *out << " -> " << item.linkTarget;
  }
  if (item.mode != 0) {
    *out << " mode " << std::oct << item.mode << std::dec;
  }
  *out << "}";
}

Tree treeOf(const std::string& folder) {
  Tree tree;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::string path = it->path().string();
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
      continue;
    }
    TreeItem item;
    item.mode = status.st_mode & 07777;
    if (S_ISDIR(status.st_mode)) {
      item.kind = 'd';
    } else if (S_ISLNK(status.st_mode)) {
      item.kind = 'l';
      item.linkTarget = fs::read_symlink(path).string();
    } else {
      item.kind = 'f';
      item.size = static_cast<std::uint64_t>(status.st_size);
    }
    tree[path.substr(folder.size() + 1)] = item;
  }
  return tree;
}

std::vector<Tree> sevenZipVolumeTrees(const std::string& image) {
  SevenZipListing listing = parseSevenZipListing(sevenZip({"l", "-slt", "--", image}).standardOutput);
  if (listing.types.empty()) {
    return {};
  }
  if (isFileSystemType(listing.types.back())) {
    return {treeOfListing(listing)};
  }
  // Several partitions: 7-Zip shows them as files, each of which opens again.
  TempDir partitions;
  sevenZip({"x", "-y", "-t" + listing.types.back(), "-o" + partitions.path(), "--", image});
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(partitions.path())) {
    files.push_back(entry.path().filename().string());
  }
  std::sort(files.begin(), files.end(),
            [](const std::string& a, const std::string& b) { return std::stoi(a) < std::stoi(b); });
  std::vector<Tree> trees;
  for (const auto& file : files) {
    SevenZipListing inner = parseSevenZipListing(sevenZip({"l", "-slt", "--", partitions / file}).standardOutput);
    if (!inner.types.empty() && isFileSystemType(inner.types.back())) {
      trees.push_back(treeOfListing(inner));
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
  std::vector<std::string> argv = {"/bin/bash", "-c", "echo YES | \"$0\" \"$@\"", standInBinary()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runProgram(argv, {"HDIUTIL_STANDIN_DIR=" + base});
}

std::optional<std::vector<AttachedEntity>> parseAttachPropertyList(const std::string& xml) {
  auto parsed = installer::parsePropertyList(xml);
  plist_t root = parsed ? parsed->get() : nullptr;
  plist_t array = root != nullptr && plist_get_node_type(root) == PLIST_DICT
                      ? plist_dict_get_item(root, "system-entities")
                      : nullptr;
  if (array == nullptr || plist_get_node_type(array) != PLIST_ARRAY) {
    return std::nullopt;
  }
  auto string = [](plist_t dict, const char* key) -> std::optional<std::string> {
    plist_t node = plist_dict_get_item(dict, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) {
      return std::nullopt;
    }
    char* value = nullptr;
    plist_get_string_val(node, &value);
    std::string text(value);
    free(value);
    return text;
  };
  std::vector<AttachedEntity> entities;
  for (uint32_t index = 0; index < plist_array_get_size(array); ++index) {
    plist_t dict = plist_array_get_item(array, index);
    if (plist_get_node_type(dict) != PLIST_DICT) {
      return std::nullopt;
    }
    AttachedEntity entity;
    entity.contentHint = string(dict, "content-hint").value_or("");
    entity.devEntry = string(dict, "dev-entry").value_or("");
    entity.mountPoint = string(dict, "mount-point");
    entity.volumeKind = string(dict, "volume-kind");
    if (plist_t mountable = plist_dict_get_item(dict, "potentially-mountable");
        mountable != nullptr && plist_get_node_type(mountable) == PLIST_BOOLEAN) {
      uint8_t value = 0;
      plist_get_bool_val(mountable, &value);
      entity.potentiallyMountable = value != 0;
    }
    entities.push_back(entity);
  }
  return entities;
}

AttachedImage::AttachedImage(const std::string& image, const std::string& base) : base_(base) {
  run_ = runStandIn({"attach", "-nobrowse", "-plist", image}, base);
  entities_ = parseAttachPropertyList(run_.standardOutput).value_or(std::vector<AttachedEntity>{});
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
