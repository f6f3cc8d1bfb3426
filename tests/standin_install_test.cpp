// Whole runs of the real tool against real disk images, with the Linux hdiutil
// stand-in first on PATH and a private /Applications: the stand-in meets the tool's
// own command lines, and a volume's bundle arrives as 7-Zip extracts it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "support/disk_images.h"
#include "support/named_case.h"
#include "support/tree_snapshot.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

struct WholeRun : Named {
  std::string imageName;  // in the working folder
  std::string volume;
  std::string bundle;
  // Puts the image at `path`; false when this machine cannot.
  std::function<bool(const std::string& path)> make;
};

class WholeRunOnRealImages : public ::testing::TestWithParam<WholeRun> {};

TEST_P(WholeRunOnRealImages, InstallsTheBundleAsTheImageHoldsItAndDetaches) {
  SKIP_WITHOUT_PRIVATE_NAMESPACES();
  SKIP_WITHOUT_STANDIN();
  const WholeRun& expected = GetParam();
  Workspace workspace(Hdiutil::StandIn);
  std::string image = workspace.work() + "/" + expected.imageName;
  if (!expected.make(image)) {
    GTEST_SKIP() << "no " << expected.imageName << " here (fixture images or xorriso missing)";
  }
  // An older copy, which the run replaces.
  writeFile(workspace.applications() + "/" + expected.bundle + "/Contents/Old version only", "stale");

  ProgramRun run = workspace.run({expected.imageName, expected.bundle});
  EXPECT_EQ(run.exitStatus, 0) << run.standardError;
  // The volume was the stand-in's, at BASE/<random>/<volume>.
  std::vector<std::string> log = splitLogRecords(run.standardError);
  const std::string kLogged = "mount-point : ";
  auto logged = std::find_if(log.begin(), log.end(), [&](const auto& line) { return line.starts_with(kLogged); });
  ASSERT_NE(logged, log.end()) << run.standardError;
  fs::path mountPoint = logged->substr(kLogged.size());
  EXPECT_EQ(mountPoint.parent_path().parent_path(), workspace.standInBase());
  EXPECT_EQ(mountPoint.filename(), expected.volume);
  // Contents, modes, owners and times as 7-Zip extracts them on its own.
  TempDir reference;
  runProgram({"/usr/bin/env", "7zz", "x", "-sns-", "-y", "-o" + reference.path(), "--", image});
  std::string extracted = reference / expected.bundle;
  if (!exists(extracted)) {
    extracted = reference / (expected.volume + "/" + expected.bundle);  // HFS: below a folder named after the volume
  }
  EXPECT_EQ(snapshotTree(workspace.applications() + "/" + expected.bundle), snapshotTree(extracted));
  EXPECT_FALSE(exists(workspace.work() + "/qzmount.plist"));
  EXPECT_TRUE(holdsNothing(workspace.standInBase()));
}

INSTANTIATE_TEST_SUITE_P(
    Images, WholeRunOnRealImages,
    ::testing::Values(
        // The demo's own: the repository's sample bundle, an image name with a blank.
        WholeRun{{"SampleIso"}, "My Sample.iso", "Sample", "Sample.app",
                 [](const std::string& path) {
                   std::string sample = std::string(PROJECT_SOURCE_DIR) + "/examples/Sample.app";
                   return makeIsoImage(path, "Sample", {{"/Sample.app", sample}});
                 }},
        WholeRun{{"Transmission"}, "transmission-2.61.dmg", "Transmission", "Transmission.app",
                 [](const std::string& path) {
                   return fixtureImagesFolder() &&
                          fs::copy_file(fixtureImage("homebrew-brew/transmission-2.61.dmg"), path);
                 }}),
    caseName);

}  // namespace
