// The Linux hdiutil stand-in's attach verb on real disk images made by Apple's
// hdiutil: what each mount point shows, the property list, and failures that leave
// nothing behind.
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

// What attaching one fixture image must give.
struct FixtureImage {
  std::string path;  // below the fixture folder
  std::string partitionScheme;  // "" for an image that is one volume
  std::string volumeKind;
  std::vector<std::string> volumeNames;
};

void PrintTo(const FixtureImage& image, std::ostream* out) { *out << image.path; }

const std::vector<FixtureImage>& fixtureImages() {
  static const std::vector<FixtureImage> images = {
      {"homebrew-brew/transmission-2.61.dmg", "GUID_partition_scheme", "hfs", {"Transmission"}},
      {"homebrew-brew/container.dmg", "GUID_partition_scheme", "hfs", {"container.dmg"}},
      {"homebrew-brew/container-apfs.dmg", "GUID_partition_scheme", "apfs", {"container-apfs"}},
      {"shockpkg-archive-files/test-archive-hfsp.dmg", "GUID_partition_scheme", "hfs", {"test-archive-hfsp"}},
      {"shockpkg-archive-files/test-archive-hfsp-j-c.dmg", "GUID_partition_scheme", "hfs", {"test-archive-hfsp-j-c"}},
      {"shockpkg-archive-files/test-archive-apfs.dmg", "GUID_partition_scheme", "apfs", {"test-archive-apfs"}},
      {"shockpkg-archive-files/test-archive-apfs-c.dmg", "GUID_partition_scheme", "apfs", {"test-archive-apfs-c"}},
      {"shockpkg-archive-files/test-archive-hybrid.iso", "", "cd9660", {"TEST_ARCHIVE_HYBRID"}},
      {"keramics/hfsplus_zlib.dmg", "GUID_partition_scheme", "hfs", {"hfsplus_test"}},
      {"keramics/hfsplus_bzip2.dmg", "GUID_partition_scheme", "hfs", {"hfsplus_test"}},
      {"keramics/hfsplus_lzfse.dmg", "GUID_partition_scheme", "hfs", {"hfsplus_test"}},
      {"keramics/hfsplus_lzma.dmg", "GUID_partition_scheme", "hfs", {"hfsplus_test"}},
      {"keramics/hfsplus_adc.dmg", "GUID_partition_scheme", "hfs", {"hfsplus_test"}},
      {"node-udif/raw.dmg", "", "hfs", {"CD DVD"}},
      {"node-udif/zlib-compressed.dmg", "", "hfs", {"Single Partition APM"}},
      {"node-udif/compression-lzfse.dmg", "FDisk_partition_scheme", "msdos", {"NEW VOLUME", "VOLUME"}},
  };
  return images;
}

// The items of a tree as far as 7-Zip's listing tells them: kinds, file sizes, and
// link targets where the listing gives one.
Tree comparableTo(Tree actual, const Tree& listed) {
  for (auto& [path, item] : actual) {
    item.mode = 0;
    auto found = listed.find(path);
    if (found == listed.end() || found->second.linkTarget.empty()) {
      item.linkTarget.clear();
    }
  }
  return actual;
}

class RealImage : public ::testing::TestWithParam<FixtureImage> {};

TEST_P(RealImage, ShowsWhat7ZipListsAtFreshMountPointsAndDetachLeavesNothing) {
  SKIP_WITHOUT_STANDIN();
  SKIP_WITHOUT_FIXTURE_IMAGES();
  const FixtureImage& expected = GetParam();
  std::string image = fixtureImage(expected.path);
  if (!exists(image)) {
    GTEST_SKIP() << image << " is not among the fixture images here";
  }
  TempDir sandbox;
  std::string base = sandbox / "volumes";

  AttachedImage attached(image, base);
  ASSERT_EQ(attached.run().exitStatus, 0) << attached.run().standardError;
  EXPECT_EQ(attached.run().standardError, "");
  const auto& entities = attached.entities();
  ASSERT_FALSE(entities.empty()) << attached.run().standardOutput;
  // The tool's own record reader takes the output as it is.
  auto record = installer::readMountRecordBytes(attached.run().standardOutput);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->size(), entities.size());

  // hdiutil's shape: the partition map first, without a mount point.
  if (!expected.partitionScheme.empty()) {
    EXPECT_EQ(entities.front().contentHint, expected.partitionScheme);
    EXPECT_FALSE(entities.front().mountPoint);
    EXPECT_EQ(entities.front().potentiallyMountable, false);
  }
  for (const auto& entity : entities) {
    EXPECT_TRUE(std::regex_match(entity.devEntry, std::regex("/dev/disk[0-9]+(s[0-9]+)?"))) << entity.devEntry;
    EXPECT_EQ(entity.volumeKind.has_value(), entity.mountPoint.has_value());
    EXPECT_EQ(entity.potentiallyMountable, entity.mountPoint.has_value());
    if (entity.volumeKind) {
      EXPECT_EQ(*entity.volumeKind, expected.volumeKind);
    }
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

    Tree shown = treeOf(mountPoint);
    EXPECT_EQ(comparableTo(shown, listed[index]), listed[index]);
    // Nothing of the stand-in's own is inside the volume.
    for (const auto& [path, item] : shown) {
      EXPECT_EQ(path.find("hdiutil-standin"), std::string::npos) << path;
    }
    // Read-only, like a mounted disk image.
    std::ofstream(mountPoint / "written-by-test") << "x";
    EXPECT_FALSE(exists(mountPoint / "written-by-test"));
  }
  EXPECT_EQ(folders.size(), mountPoints.size());

  for (const auto& mountPoint : mountPoints) {
    ProgramRun detached = attached.detach(mountPoint);
    EXPECT_EQ(detached.exitStatus, 0) << detached.standardError;
    EXPECT_TRUE(std::regex_match(detached.standardOutput, std::regex("\"disk[0-9]+\" ejected\\.\n")))
        << detached.standardOutput;
    EXPECT_FALSE(exists(mountPoint));
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
    std::string extension = entry.path().extension().string();
    if (extension != ".dmg" && extension != ".iso") {
      continue;
    }
    std::string relative = entry.path().string().substr(folder.size() + 1);
    EXPECT_TRUE(std::any_of(fixtureImages().begin(), fixtureImages().end(),
                            [&](const FixtureImage& image) { return image.path == relative; }))
        << relative << " is not in the table of attached images";
  }
}

TEST(StandInAttach, TwoPartitionsAreTwoVolumesThatDetachOneByOne) {
  SKIP_WITHOUT_STANDIN();
  SKIP_WITHOUT_FIXTURE_IMAGES();
  TempDir sandbox;
  AttachedImage attached(fixtureImage("node-udif/compression-lzfse.dmg"), sandbox / "volumes");
  ASSERT_EQ(attached.run().exitStatus, 0) << attached.run().standardError;
  std::vector<std::string> mountPoints = attached.mountPoints();
  ASSERT_EQ(mountPoints.size(), 2u);
  // Each volume holds its own README.txt.
  std::string first = readFile(mountPoints[0] + "/README.txt");
  std::string second = readFile(mountPoints[1] + "/README.txt");
  EXPECT_FALSE(first.empty());
  EXPECT_FALSE(second.empty());
  EXPECT_NE(first, second);

  EXPECT_EQ(attached.detach(mountPoints[0]).exitStatus, 0);
  EXPECT_FALSE(exists(mountPoints[0]));
  EXPECT_EQ(readFile(mountPoints[1] + "/README.txt"), second);
  EXPECT_EQ(attached.detach(mountPoints[1]).exitStatus, 0);
  EXPECT_TRUE(holdsNothing(sandbox / "volumes"));
}

TEST(StandInAttach, AbsoluteLinksKeepTheTargetsTheyHaveOnTheVolume) {
  SKIP_WITHOUT_STANDIN();
  SKIP_WITHOUT_FIXTURE_IMAGES();
  TempDir sandbox;
  AttachedImage attached(fixtureImage("keramics/hfsplus_zlib.dmg"), sandbox / "volumes");
  ASSERT_EQ(attached.mountPoints().size(), 1u) << attached.run().standardError;
  fs::path volume = attached.mountPoints().front();
  EXPECT_EQ(fs::read_symlink(volume / "file_symboliclink1"), "/Volumes/hfsplus_test/testdir1/testfile1");
  EXPECT_EQ(fs::read_symlink(volume / "directory_symboliclink1"), "/Volumes/hfsplus_test/testdir1");
}

TEST(StandInAttach, VolumeNamesReachThePropertyListAndTheMountPointUnchanged) {
  SKIP_WITHOUT_STANDIN();
  TempDir sandbox;
  writeFile(sandbox / "content/Some.app/Contents/Info.plist", "<plist/>");
  // Characters XML must escape, blanks, and a name that is not valid in ISO 9660
  // proper but that Rock Ridge tools write anyway.
  for (const std::string& name : {std::string("Tom & Jerry <2>"), std::string("  Blank  Edges "), std::string("Q\"uote's")}) {
    SCOPED_TRACE(name);
    std::string image = sandbox / "named.iso";
    fs::remove(image);
    ASSERT_TRUE(makeIsoImage(image, name, {{"/Some.app", sandbox / "content/Some.app"}}));
    AttachedImage attached(image, sandbox / "volumes");
    ASSERT_EQ(attached.mountPoints().size(), 1u) << attached.run().standardError << attached.run().standardOutput;
    std::string mountPoint = attached.mountPoints().front();
    std::string expectedName = name;
    while (!expectedName.empty() && expectedName.back() == ' ') {
      expectedName.pop_back();  // ISO 9660 pads names with blanks: trailing ones cannot be told apart
    }
    EXPECT_EQ(fs::path(mountPoint).filename().string(), expectedName);
    EXPECT_EQ(readFile(mountPoint + "/Some.app/Contents/Info.plist"), "<plist/>");
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

class UnattachableImage : public ::testing::TestWithParam<BadImage> {};

TEST_P(UnattachableImage, FailsLikeHdiutilAndLeavesNothingBehind) {
  SKIP_WITHOUT_STANDIN();
  const BadImage& bad = GetParam();
  if (bad.needsFixtures) {
    SKIP_WITHOUT_FIXTURE_IMAGES();
  }
  TempDir sandbox;
  std::string image = sandbox / "Broken Image.dmg";
  bad.make(image);
  std::string base = sandbox / "volumes";
  ProgramRun run = runStandIn({"attach", "-nobrowse", "-plist", image}, base);
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.standardOutput, "");
  EXPECT_EQ(run.standardError, "hdiutil: attach failed - " + bad.reason + "\n");
  EXPECT_TRUE(holdsNothing(base));
}

std::string transmissionBytes() { return readFile(fixtureImage("homebrew-brew/transmission-2.61.dmg")); }

INSTANTIATE_TEST_SUITE_P(
    Failures, UnattachableImage,
    ::testing::Values(
        BadImage{"Missing", "No such file or directory", false, [](const std::string&) {}},
        BadImage{"Folder", "image not recognized", false,
                 [](const std::string& path) { fs::create_directories(path + "/Contents"); }},
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
                 }}),
    [](const ::testing::TestParamInfo<BadImage>& info) { return info.param.name; });

TEST(StandInCommandLine, AnythingButAttachOrDetachWithOneTargetIsAUsageError) {
  SKIP_WITHOUT_STANDIN();
  TempDir sandbox;
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {},
           {"info"},
           {"create", "-srcfolder", "x", "y.dmg"},
           {"attach"},
           {"attach", "-plist", "a.dmg", "b.dmg"},
           {"attach", "-shadow", "a.dmg"},
           {"detach"},
           {"detach", "-plist", "/x"},
       }) {
    std::vector<std::string> argv = {standInBinary()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ProgramRun run = runProgram(argv, {"HDIUTIL_STANDIN_DIR=" + sandbox / "volumes"});
    EXPECT_EQ(run.exitStatus, 1) << ::testing::PrintToString(arguments);
    EXPECT_NE(run.standardError.find("Usage: hdiutil"), std::string::npos) << run.standardError;
    EXPECT_EQ(run.standardOutput, "");
  }
  EXPECT_FALSE(exists(sandbox / "volumes"));
}

}  // namespace
