// The Linux hdiutil stand-in's attach verb, on which the tests' whole runs rely: each
// volume of a real disk image shows what a Mac shows of it (7-Zip's listing), at a
// fresh mount point, in a property list the tool reads; links that would leave a
// volume are refused; every failure leaves nothing behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <set>

#include "support/disk_images.h"
#include "support/named_case.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// What a Mac keeps out of a mounted volume's top folder, as 7-Zip names it: HFS+'s
// private folders, and a journalled volume's journal files.  Nothing else is hidden
// (not .fseventsd, not .Trashes).
const std::vector<std::string> kHfsPrivate = {".HFS+ Private Directory Data\r", "[HFS+ Private Data]"};
const std::vector<std::string> kJournalledHfs = {".HFS+ Private Directory Data\r", "[HFS+ Private Data]",
                                                 ".journal", ".journal_info_block"};

// What attaching one fixture image must give: its volumes' names, and the names 7-Zip
// lists at a volume's top that a Mac does not show.
struct FixtureImage : Named {
  std::string path;  // below the fixture folder
  std::vector<std::string> volumeNames;
  std::vector<std::string> hidden;
};

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

TEST_P(RealImage, ShowsWhatAMacShowsAtFreshMountPointsAndDetachLeavesNothing) {
  SKIP_WITHOUT_STANDIN();
  SKIP_WITHOUT_FIXTURE_IMAGES();
  const FixtureImage& expected = GetParam();
  std::string image = fixtureImage(expected.path);
  TempDir sandbox;
  std::string base = sandbox / "volumes";

  AttachedImage attached(image, base);
  ASSERT_EQ(attached.run().exitStatus, 0) << attached.run().standardError;
  EXPECT_EQ(attached.run().standardError, "");
  // The tool's own record reader takes the output as it is, whole device and all.
  EXPECT_TRUE(std::regex_match(installer::wholeDevice(attached.entities()), std::regex("/dev/disk[0-9]+")));

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

INSTANTIATE_TEST_SUITE_P(
    Fixtures, RealImage,
    ::testing::Values(
        FixtureImage{{"Transmission"}, "homebrew-brew/transmission-2.61.dmg", {"Transmission"}, kJournalledHfs},
        FixtureImage{{"Container"}, "homebrew-brew/container.dmg", {"container.dmg"}, kJournalledHfs},
        FixtureImage{{"ContainerApfs"}, "homebrew-brew/container-apfs.dmg", {"container-apfs"}, {}},
        FixtureImage{{"ArchiveHfsp"}, "shockpkg-archive-files/test-archive-hfsp.dmg", {"test-archive-hfsp"}, kHfsPrivate},
        FixtureImage{{"ArchiveHfsxJournalled"}, "shockpkg-archive-files/test-archive-hfsp-j-c.dmg",
                     {"test-archive-hfsp-j-c"}, kJournalledHfs},
        FixtureImage{{"ArchiveApfs"}, "shockpkg-archive-files/test-archive-apfs.dmg", {"test-archive-apfs"}, {}},
        FixtureImage{{"ArchiveApfsCaseSensitive"}, "shockpkg-archive-files/test-archive-apfs-c.dmg",
                     {"test-archive-apfs-c"}, {}},
        FixtureImage{{"ArchiveHybridIso"}, "shockpkg-archive-files/test-archive-hybrid.iso", {"TEST_ARCHIVE_HYBRID"}, {}},
        FixtureImage{{"HfsZlib"}, "keramics/hfsplus_zlib.dmg", {"hfsplus_test"}, kHfsPrivate},
        FixtureImage{{"HfsBzip2"}, "keramics/hfsplus_bzip2.dmg", {"hfsplus_test"}, kHfsPrivate},
        FixtureImage{{"HfsLzfse"}, "keramics/hfsplus_lzfse.dmg", {"hfsplus_test"}, kHfsPrivate},
        FixtureImage{{"HfsLzma"}, "keramics/hfsplus_lzma.dmg", {"hfsplus_test"}, kHfsPrivate},
        FixtureImage{{"HfsAdc"}, "keramics/hfsplus_adc.dmg", {"hfsplus_test"}, kHfsPrivate},
        FixtureImage{{"RawWholeDisk"}, "node-udif/raw.dmg", {"CD DVD"}, kJournalledHfs},
        FixtureImage{{"ZlibWholeDisk"}, "node-udif/zlib-compressed.dmg", {"Single Partition APM"}, kJournalledHfs},
        FixtureImage{{"TwoFatPartitions"}, "node-udif/compression-lzfse.dmg", {"NEW VOLUME", "VOLUME"}, {}}),
    caseName);

TEST(StandInAttach, AVolumeNameXmlMustEscapeAndAbsoluteLinksReachTheToolAsTheyAre) {
  SKIP_WITHOUT_STANDIN();
  TempDir sandbox;
  std::string content = sandbox / "content";
  writeFile(content + "/Some.app/Contents/Info.plist", "<plist/>");
  // 7-Zip writes an absolute link's target below its output folder; the volume keeps
  // the target it has on the image.
  fs::create_symlink("/Applications", content + "/Applications");
  fs::create_symlink("Some.app/Contents", content + "/Relative");
  ASSERT_TRUE(makeIsoImage(sandbox / "named.iso", "Tom & Jerry <2>", {{"/", content}}));
  AttachedImage attached(sandbox / "named.iso", sandbox / "volumes");
  ASSERT_EQ(attached.mountPoints().size(), 1u) << attached.run().standardError;
  EXPECT_EQ(fs::path(attached.mountPoints().front()).filename().string(), "Tom & Jerry <2>");
  EXPECT_EQ(treeOf(attached.mountPoints().front()), treeOf(content));
}

// Images the stand-in must refuse, each made in the test's own folder.
struct BadImage : Named {
  std::string reason;
  bool needsFixtures;
  std::function<void(const std::string& path)> make;
};

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
        BadImage{{"Missing"}, "No such file or directory", false, [](const std::string&) {}},
        BadImage{{"NamedPipe"}, "image not recognized", false,
                 [](const std::string& path) { ::mkfifo(path.c_str(), 0600); }},
        BadImage{{"Truncated"}, "image not recognized", true,
                 [](const std::string& path) { writeFile(path, transmissionBytes().substr(0, 10000)); }},
        BadImage{{"DamagedChunk"}, "corrupt image", true,
                 [](const std::string& path) {
                   std::string bytes = transmissionBytes();
                   bytes.replace(8000, 12, std::string(12, '\xff'));
                   writeFile(path, bytes);
                 }},
        // Hostile trees: nothing may be written where their links lead.  A tree with
        // an item below a link is no file system a Mac mounts; 7-Zip refuses a
        // relative link that leads out of the volume.
        BadImage{{"FileBelowAnAbsoluteLink"}, "no mountable file systems", false,
                 [](const std::string& path) { makeHostileImage(path, outsideOf(path), true); }},
        BadImage{{"FileBelowARelativeLinkOut"}, "no mountable file systems", false,
                 [](const std::string& path) { makeHostileImage(path, upTo(outsideOf(path)), true); }},
        BadImage{{"RelativeLinkOut"}, "corrupt image", false,
                 [](const std::string& path) { makeHostileImage(path, upTo(outsideOf(path)), false); }}),
    caseName);

}  // namespace
