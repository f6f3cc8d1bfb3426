// The Linux hdiutil stand-in's attach verb: each volume of a real disk image shows
// what 7-Zip lists in it, at a fresh mount point, in hdiutil's property list; every
// failure leaves nothing behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <set>

#include "image/record.h"
#include "support/disk_images.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// What a Mac keeps out of a mounted volume's top folder, as 7-Zip names it: HFS+'s
// private folders, and a journalled volume's journal files.  Nothing else is hidden
// (not .fseventsd, not .Trashes).
const std::vector<std::string> kHfsPrivate = {".HFS+ Private Directory Data\r", "[HFS+ Private Data]"};
const std::vector<std::string> kJournalledHfs = {".HFS+ Private Directory Data\r", "[HFS+ Private Data]",
                                                 ".journal", ".journal_info_block"};

// What attaching one fixture image must give.
struct FixtureImage {
  std::string path;             // below the fixture folder
  std::string partitionScheme;  // "" for an image that is one volume
  std::string volumeKind;
  std::vector<std::string> volumeNames;
  std::vector<std::string> hidden;  // names 7-Zip lists at a volume's top that it must not show
};

void PrintTo(const FixtureImage& image, std::ostream* out) { *out << image.path; }

const std::string kGpt = "GUID_partition_scheme";

const std::vector<FixtureImage>& fixtureImages() {
  static const std::vector<FixtureImage> images = {
      {"homebrew-brew/transmission-2.61.dmg", kGpt, "hfs", {"Transmission"}, kJournalledHfs},
      {"homebrew-brew/container.dmg", kGpt, "hfs", {"container.dmg"}, kJournalledHfs},
      {"homebrew-brew/container-apfs.dmg", kGpt, "apfs", {"container-apfs"}, {}},
      {"shockpkg-archive-files/test-archive-hfsp.dmg", kGpt, "hfs", {"test-archive-hfsp"}, kHfsPrivate},
      {"shockpkg-archive-files/test-archive-hfsp-j-c.dmg", kGpt, "hfs", {"test-archive-hfsp-j-c"}, kJournalledHfs},
      {"shockpkg-archive-files/test-archive-apfs.dmg", kGpt, "apfs", {"test-archive-apfs"}, {}},
      {"shockpkg-archive-files/test-archive-apfs-c.dmg", kGpt, "apfs", {"test-archive-apfs-c"}, {}},
      {"shockpkg-archive-files/test-archive-hybrid.iso", "", "cd9660", {"TEST_ARCHIVE_HYBRID"}, {}},
      {"keramics/hfsplus_zlib.dmg", kGpt, "hfs", {"hfsplus_test"}, kHfsPrivate},
      {"keramics/hfsplus_bzip2.dmg", kGpt, "hfs", {"hfsplus_test"}, kHfsPrivate},
      {"keramics/hfsplus_lzfse.dmg", kGpt, "hfs", {"hfsplus_test"}, kHfsPrivate},
      {"keramics/hfsplus_lzma.dmg", kGpt, "hfs", {"hfsplus_test"}, kHfsPrivate},
      {"keramics/hfsplus_adc.dmg", kGpt, "hfs", {"hfsplus_test"}, kHfsPrivate},
      {"node-udif/raw.dmg", "", "hfs", {"CD DVD"}, kJournalledHfs},
      {"node-udif/zlib-compressed.dmg", "", "hfs", {"Single Partition APM"}, kJournalledHfs},
      {"node-udif/compression-lzfse.dmg", "FDisk_partition_scheme", "msdos", {"NEW VOLUME", "VOLUME"}, {}},
  };
  return images;
}

// `listed` without the `hidden` names at its top (each of which it must hold).
Tree withoutHidden(Tree listed, const std::vector<std::string>& hidden) {
  for (const auto& name : hidden) {
    EXPECT_TRUE(listed.contains(name)) << "7-Zip does not list " << name;
    std::erase_if(listed, [&](const auto& item) { return item.first == name || item.first.starts_with(name + "/"); });
  }
  return listed;
}

// `shown` told as far as 7-Zip's listing tells: a link by its target where the
// listing gives one, else by the target's length.
Tree comparableTo(Tree shown, const Tree& listed) {
  for (auto& [path, item] : shown) {
    auto found = listed.find(path);
    if (item.starts_with("l ") && found != listed.end()) {
      size_t arrow = item.find(" -> ");
      // Appended rather than "l" + …: GCC 12 warns falsely (-Wrestrict) on that form.
      item = found->second.starts_with("l -> ") ? std::string("l").append(item, arrow) : item.substr(0, arrow);
    }
  }
  return shown;
}

class RealImage : public ::testing::TestWithParam<FixtureImage> {};

TEST_P(RealImage, ShowsWhat7ZipListsAtFreshMountPointsAndDetachLeavesNothing) {
  SKIP_WITHOUT_STANDIN();
  SKIP_WITHOUT_FIXTURE_IMAGES();
  const FixtureImage& expected = GetParam();
  std::string image = fixtureImage(expected.path);
  TempDir sandbox;
  std::string base = sandbox / "volumes";

  AttachedImage attached(image, base);
  ASSERT_EQ(attached.run().exitStatus, 0) << attached.run().standardError;
  EXPECT_EQ(attached.run().standardError, "");
  // The tool's own record reader takes the output as it is.
  auto record = installer::readMountRecordBytes(attached.run().standardOutput);
  ASSERT_TRUE(record);
  const auto& entities = attached.entities();
  ASSERT_EQ(record->size(), entities.size());

  // hdiutil's shape: the partition map first; only volumes have a mount point.
  if (!expected.partitionScheme.empty()) {
    EXPECT_EQ(entities.front().at("content-hint"), expected.partitionScheme);
    EXPECT_FALSE(entities.front().contains("mount-point"));
  }
  for (const auto& entity : entities) {
    bool mounted = entity.contains("mount-point");
    EXPECT_TRUE(std::regex_match(entity.at("dev-entry"), std::regex("/dev/disk[0-9]+(s[0-9]+)?")));
    EXPECT_EQ(entity.at("potentially-mountable"), mounted ? "true" : "false");
    EXPECT_EQ(entity.contains("volume-kind") ? entity.at("volume-kind") : "", mounted ? expected.volumeKind : "");
  }

  std::vector<std::string> mountPoints = attached.mountPoints();
  std::vector<Tree> listed = sevenZipVolumeTrees(image);
  ASSERT_EQ(mountPoints.size(), expected.volumeNames.size());
  ASSERT_EQ(listed.size(), expected.volumeNames.size());
  std::set<std::string> folders;
  for (size_t index = 0; index < mountPoints.size(); ++index) {
    fs::path mountPoint = mountPoints[index];
    SCOPED_TRACE(mountPoint.string());
    // BASE/<random>/<volume name>: one fresh folder for each volume.
    EXPECT_EQ(mountPoint.filename().string(), expected.volumeNames[index]);
    EXPECT_EQ(mountPoint.parent_path().parent_path(), fs::canonical(base));
    folders.insert(mountPoint.parent_path().string());
    listed[index] = withoutHidden(listed[index], expected.hidden);
    EXPECT_EQ(comparableTo(treeOf(mountPoint), listed[index]), listed[index]);
    // Read-only, like a mounted disk image.
    std::ofstream(mountPoint / "written-by-test") << "x";
    EXPECT_FALSE(exists(mountPoint / "written-by-test"));
  }
  EXPECT_EQ(folders.size(), mountPoints.size());

  // Volumes detach one by one; the others stay as they were.
  for (size_t index = 0; index < mountPoints.size(); ++index) {
    ProgramRun detached = attached.detach(mountPoints[index]);
    EXPECT_EQ(detached.exitStatus, 0) << detached.standardError;
    EXPECT_TRUE(std::regex_match(detached.standardOutput, std::regex("\"disk[0-9]+\" ejected\\.\n")));
    EXPECT_FALSE(exists(mountPoints[index]));
    for (size_t other = index + 1; other < mountPoints.size(); ++other) {
      EXPECT_EQ(comparableTo(treeOf(mountPoints[other]), listed[other]), listed[other]);
    }
  }
  EXPECT_TRUE(holdsNothing(base));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, RealImage, ::testing::ValuesIn(fixtureImages()),
                         [](const ::testing::TestParamInfo<FixtureImage>& info) {
                           std::string name = fs::path(info.param.path).stem().string();
                           std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
                           return name;
                         });

TEST(StandInAttach, EveryFixtureImageIsChecked) {
  SKIP_WITHOUT_FIXTURE_IMAGES();
  std::string folder = *fixtureImagesFolder();
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    std::string relative = entry.path().string().substr(folder.size() + 1);
    if (entry.path().extension() == ".dmg" || entry.path().extension() == ".iso") {
      EXPECT_TRUE(std::any_of(fixtureImages().begin(), fixtureImages().end(),
                              [&](const FixtureImage& image) { return image.path == relative; }))
          << relative << " is not in the table of attached images";
    }
  }
}

TEST(StandInAttach, JournalFilesShowOnAnHfsVolumeWithoutAJournal) {
  SKIP_WITHOUT_STANDIN();
  SKIP_WITHOUT_FIXTURE_IMAGES();
  TempDir sandbox;
  // Transmission's journalled HFS+ partition on its own, its journalled bit cleared.
  runProgram({"/usr/bin/env", "7zz", "x", "-tdmg", "-o" + sandbox / "partitions", "--",
              fixtureImage("homebrew-brew/transmission-2.61.dmg")});
  std::string bytes = readFile(sandbox / "partitions/4.hfs");
  ASSERT_EQ(bytes.substr(1024, 2), "H+");
  bytes[1024 + 6] = static_cast<char>(bytes[1024 + 6] & ~0x20);
  writeFile(sandbox / "unjournalled.hfs", bytes);
  AttachedImage attached(sandbox / "unjournalled.hfs", sandbox / "volumes");
  ASSERT_EQ(attached.mountPoints().size(), 1u) << attached.run().standardError;
  Tree listed = withoutHidden(sevenZipVolumeTrees(sandbox / "unjournalled.hfs").at(0), kHfsPrivate);
  EXPECT_TRUE(listed.contains(".journal") && listed.contains(".journal_info_block"));
  EXPECT_EQ(comparableTo(treeOf(attached.mountPoints().front()), listed), listed);
}

TEST(StandInAttach, AnIsoImageShowsItsWholeTreeWithLinksAndItsNameUnchanged) {
  SKIP_WITHOUT_STANDIN();
  TempDir sandbox;
  std::string content = sandbox / "content";
  writeFile(content + "/Some.app/Contents/Info.plist", "<plist/>");
  // Names that HFS+ alone hides, and those a Mac never hides.
  for (const std::string name : {".journal", ".journal_info_block", ".fseventsd/fseventsd-uuid", ".Trashes/501/x"}) {
    writeFile(content + "/" + name, "kept");
  }
  // 7-Zip writes an absolute link's target below its output folder; the volume keeps
  // the target it has on the image.
  fs::create_symlink("/Applications", content + "/Applications");
  fs::create_symlink("Some.app/Contents", content + "/Relative");
  // Characters XML must escape, blanks, and a name that is not valid in ISO 9660
  // proper but that Rock Ridge tools write anyway.
  for (const std::string name : {"Tom & Jerry <2>", "  Blank  Edges ", "Q\"uote's"}) {
    SCOPED_TRACE(name);
    std::string image = sandbox / "named.iso";
    fs::remove(image);
    ASSERT_TRUE(makeIsoImage(image, name, {{"/", content}}));
    AttachedImage attached(image, sandbox / "volumes");
    ASSERT_EQ(attached.mountPoints().size(), 1u) << attached.run().standardError;
    // ISO 9660 pads names with blanks: trailing ones cannot be told apart.
    std::string expectedName = name.substr(0, name.find_last_not_of(' ') + 1);
    EXPECT_EQ(fs::path(attached.mountPoints().front()).filename().string(), expectedName);
    EXPECT_EQ(treeOf(attached.mountPoints().front()), treeOf(content));
  }
}

// Images the stand-in must refuse, each made in the test's own folder.
struct BadImage {
  std::string name;
  std::string reason;
  bool needsFixtures;
  std::function<void(const std::string& path)> make;
};

void PrintTo(const BadImage& image, std::ostream* out) { *out << image.name; }

// The folder beside the image that a hostile image's link leads to.
std::string outsideOf(const std::string& image) { return fs::path(image).parent_path() / "outside"; }

// An ISO image whose tree holds a link "evil" to `target` and, when `through`, also a
// file "evil/pwned" below it.  No tool makes such a tree: the image is made with a
// folder "evjl" instead, whose Rock Ridge name is then rewritten.
void makeHostileImage(const std::string& image, const std::string& target, bool through) {
  std::string content = image + ".content";
  fs::create_directories(content);
  fs::create_symlink(target, content + "/evil");
  if (through) {
    writeFile(content + "/evjl/pwned", "pwned");
  }
  makeIsoImage(image, "Hostile", {{"/", content}});
  std::string bytes = readFile(image);
  for (size_t at = bytes.find("evjl"); at != std::string::npos; at = bytes.find("evjl", at)) {
    bytes.replace(at, 4, "evil");
  }
  writeFile(image, bytes);
}

// A relative path from anywhere below / to the outside folder.
std::string upTo(const std::string& folder) {
  std::string up;
  for (int level = 0; level < 40; ++level) {
    up += "../";
  }
  return up + folder.substr(1);
}

class UnattachableImage : public ::testing::TestWithParam<BadImage> {};

TEST_P(UnattachableImage, FailsLikeHdiutilAndLeavesNothingBehind) {
  SKIP_WITHOUT_STANDIN();
  const BadImage& bad = GetParam();
  if (bad.needsFixtures) {
    SKIP_WITHOUT_FIXTURE_IMAGES();
  }
  TempDir sandbox;
  std::string image = sandbox / "Broken Image.dmg";
  fs::create_directory(outsideOf(image));
  bad.make(image);
  ProgramRun run = runStandIn({"attach", "-nobrowse", "-plist", image}, sandbox / "volumes");
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.standardOutput, "");
  EXPECT_EQ(run.standardError, "hdiutil: attach failed - " + bad.reason + "\n");
  EXPECT_TRUE(holdsNothing(sandbox / "volumes"));
  EXPECT_TRUE(holdsNothing(outsideOf(image)));
}

std::string transmissionBytes() { return readFile(fixtureImage("homebrew-brew/transmission-2.61.dmg")); }

INSTANTIATE_TEST_SUITE_P(
    Failures, UnattachableImage,
    ::testing::Values(
        BadImage{"Missing", "No such file or directory", false, [](const std::string&) {}},
        BadImage{"Folder", "image not recognized", false, [](const std::string& path) { fs::create_directory(path); }},
        BadImage{"Empty", "image not recognized", false, [](const std::string& path) { writeFile(path, ""); }},
        BadImage{"NamedPipe", "image not recognized", false,
                 [](const std::string& path) { ::mkfifo(path.c_str(), 0600); }},
        BadImage{"Text", "image not recognized", false,
                 [](const std::string& path) { writeFile(path, std::string(5000, 'x') + "koly"); }},
        BadImage{"ZipArchive", "image not recognized", false,
                 [](const std::string& path) {
                   writeFile(path + ".txt", "not a disk image\n");
                   runProgram({"/usr/bin/env", "7zz", "a", "-tzip", path, path + ".txt"});
                 }},
        BadImage{"Truncated", "image not recognized", true,
                 [](const std::string& path) { writeFile(path, transmissionBytes().substr(0, 10000)); }},
        BadImage{"DamagedChunk", "corrupt image", true,
                 [](const std::string& path) {
                   std::string bytes = transmissionBytes();
                   bytes.replace(8000, 12, std::string(12, '\xff'));
                   writeFile(path, bytes);
                 }},
        // Hostile trees: nothing may be written where their links lead.  A tree with
        // an item below a link is no file system a Mac mounts; 7-Zip refuses a
        // relative link that leads out of the volume.
        BadImage{"FileBelowAnAbsoluteLink", "no mountable file systems", false,
                 [](const std::string& path) { makeHostileImage(path, outsideOf(path), true); }},
        BadImage{"FileBelowARelativeLinkOut", "no mountable file systems", false,
                 [](const std::string& path) { makeHostileImage(path, upTo(outsideOf(path)), true); }},
        BadImage{"RelativeLinkOut", "corrupt image", false,
                 [](const std::string& path) { makeHostileImage(path, upTo(outsideOf(path)), false); }}),
    [](const ::testing::TestParamInfo<BadImage>& info) { return info.param.name; });

TEST(StandInCommandLine, AnythingButAttachOrDetachWithOneTargetIsAUsageError) {
  TempDir sandbox;
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {}, {"info"}, {"attach"}, {"attach", "-plist", "a.dmg", "b.dmg"}, {"attach", "-shadow", "a.dmg"},
           {"detach"}, {"detach", "-plist", "/x"}}) {
    std::vector<std::string> argv = {HDIUTIL_STANDIN_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ProgramRun run = runProgram(argv, {"HDIUTIL_STANDIN_DIR=" + sandbox / "volumes"});
    EXPECT_EQ(run.exitStatus, 1) << ::testing::PrintToString(arguments);
    EXPECT_TRUE(run.standardError.find("Usage: hdiutil") != std::string::npos && run.standardOutput.empty());
  }
  EXPECT_FALSE(exists(sandbox / "volumes"));
}

}  // namespace
