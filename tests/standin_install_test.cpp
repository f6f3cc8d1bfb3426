// Whole runs of the real tool against real disk images, with the Linux hdiutil
// stand-in first on PATH and a private /Applications.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/disk_images.h"
#include "support/tree_snapshot.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// What the image holds, as 7-Zip extracts it on its own: the reference for what an
// install must put in place.
std::string extractedByItself(const TempDir& folder, const std::string& image) {
  runProgram({"/usr/bin/env", "7zz", "x", "-snld20", "-sns-", "-y", "-o" + folder.path(), "--", image});
  return folder.path();
}

// The first mount point the run's log names.
std::string loggedMountPoint(const ProgramRun& run) {
  constexpr std::string_view kPrefix = "mount-point : ";
  for (const auto& message : splitLogRecords(run.standardError)) {
    if (message.starts_with(kPrefix)) {
      return message.substr(kPrefix.size());
    }
  }
  return "";
}

// Whether the run's volume was the stand-in's, at BASE/<random>/<volume>.
::testing::AssertionResult mountedByTheStandIn(const Workspace& workspace, const ProgramRun& run,
                                               const std::string& volume) {
  fs::path mountPoint = loggedMountPoint(run);
  if (mountPoint.parent_path().parent_path() == workspace.standInBase() && mountPoint.filename() == volume) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "mount point '" << mountPoint.string() << "'";
}

bool logHas(const ProgramRun& run, const std::string& message) {
  return testing_support::logHas(splitLogRecords(run.standardError), message);
}

#define SKIP_WITHOUT_WHOLE_RUNS() \
  SKIP_WITHOUT_PRIVATE_NAMESPACES(); \
  SKIP_WITHOUT_STANDIN()

TEST(WholeRunOnRealImages, TransmissionReplacesAnOlderCopyWithTheImagesTree) {
  SKIP_WITHOUT_WHOLE_RUNS();
  SKIP_WITHOUT_FIXTURE_IMAGES();
  Workspace workspace(Hdiutil::StandIn);
  std::string image = fixtureImage("homebrew-brew/transmission-2.61.dmg");
  fs::copy_file(image, workspace.work() + "/transmission-2.61.dmg");
  writeFile(workspace.applications() + "/Transmission.app/Contents/Old version only", "stale");

  ProgramRun run = workspace.run({"transmission-2.61.dmg", "Transmission.app"});
  EXPECT_EQ(run.exitStatus, 0) << run.standardError;
  EXPECT_TRUE(logHas(run, "Array count in systemEntities 2")) << run.standardError;
  EXPECT_TRUE(mountedByTheStandIn(workspace, run, "Transmission"));

  // Contents, modes, owners and times as on the volume; nothing of the old copy.
  TempDir reference;
  EXPECT_EQ(snapshotTree(workspace.applications() + "/Transmission.app"),
            snapshotTree(extractedByItself(reference, image) + "/Transmission/Transmission.app"));
  // The record is removed and the volume detached.
  EXPECT_FALSE(exists(workspace.work() + "/qzmount.plist"));
  EXPECT_TRUE(holdsNothing(workspace.standInBase()));
}

TEST(WholeRunOnRealImages, SampleBundleFromAnIsoImageWithABlankInItsName) {
  SKIP_WITHOUT_WHOLE_RUNS();
  Workspace workspace(Hdiutil::StandIn);
  std::string sample = std::string(PROJECT_SOURCE_DIR) + "/examples/Sample.app";
  std::string image = workspace.work() + "/My Sample.iso";
  ASSERT_TRUE(makeIsoImage(image, "Sample", {{"/Sample.app", sample}}));

  ProgramRun run = workspace.run({"My Sample.iso", "Sample.app"});
  EXPECT_EQ(run.exitStatus, 0) << run.standardError;
  EXPECT_TRUE(mountedByTheStandIn(workspace, run, "Sample"));
  std::string installed = workspace.applications() + "/Sample.app";
  TempDir reference;
  EXPECT_EQ(snapshotTree(installed), snapshotTree(extractedByItself(reference, image) + "/Sample.app"));
  // The bundle kept in the repository arrives whole: modes, the hidden file, the
  // relative link and the blank in a name.
  EXPECT_EQ(treeOf(installed), treeOf(sample));
  EXPECT_FALSE(exists(workspace.work() + "/qzmount.plist"));
  EXPECT_TRUE(holdsNothing(workspace.standInBase()));
}

TEST(WholeRunOnRealImages, BundleMissingFromEveryVolumeDetachesThemAll) {
  SKIP_WITHOUT_WHOLE_RUNS();
  SKIP_WITHOUT_FIXTURE_IMAGES();
  Workspace workspace(Hdiutil::StandIn);
  fs::copy_file(fixtureImage("node-udif/compression-lzfse.dmg"), workspace.work() + "/two volumes.dmg");

  ProgramRun run = workspace.run({"two volumes.dmg", "Missing.app"});
  EXPECT_EQ(run.exitStatus, 1) << run.standardError;
  EXPECT_TRUE(logHas(run, "Given app Missing.app not found in mounted volume's plist, hence installation failed!!!!!"))
      << run.standardError;
  EXPECT_TRUE(holdsNothing(workspace.applications()));
  EXPECT_FALSE(exists(workspace.work() + "/qzmount.plist"));
  EXPECT_TRUE(holdsNothing(workspace.standInBase()));
}

TEST(WholeRunOnRealImages, CorruptImagesEndInAMountErrorWithStatus26) {
  SKIP_WITHOUT_WHOLE_RUNS();
  std::vector<std::string> images = {std::string(4096, 'x')};
  if (fixtureImagesFolder()) {
    images.push_back(readFile(fixtureImage("homebrew-brew/transmission-2.61.dmg")).substr(0, 10000));
  }
  for (const auto& bytes : images) {
    Workspace workspace(Hdiutil::StandIn);
    writeFile(workspace.work() + "/Broken Image.dmg", bytes);
    ProgramRun run = workspace.run({"Broken Image.dmg", "Transmission.app"});
    EXPECT_EQ(run.exitStatus, 26) << run.standardError;
    EXPECT_TRUE(logHas(run, "Error in mounting Broken Image.dmg")) << run.standardError;
    EXPECT_NE(run.standardError.find("hdiutil: attach failed - "), std::string::npos) << run.standardError;
    EXPECT_TRUE(holdsNothing(workspace.applications()));
    EXPECT_TRUE(holdsNothing(workspace.standInBase()));
  }
}

}  // namespace
