// Whole runs of the real binary: the scripted hdiutil first on PATH, a private
// /Applications, and the log compared record by record.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "image/mount.h"
#include "image/unmount.h"
#include "support/record.h"
#include "support/tool_run.h"
#include "support/tree_snapshot.h"

namespace fs = std::filesystem;
using testing_support::exists;
using testing_support::hdiutilRecord;
using testing_support::logHas;
using testing_support::snapshotTree;
using testing_support::splitLogRecords;
using testing_support::Workspace;
using testing_support::writeFile;
using Records = std::vector<std::string>;

namespace {

const std::string kNotFound = "Given app Sample.app not found in mounted volume's plist, hence installation failed!!!!!";

bool hasHiddenFlag(const std::string& path) { return testing_support::attributeOf(path, "user.hidden") == "1"; }

class InstallRun : public ::testing::Test {
protected:
  void SetUp() override {
    SKIP_WITHOUT_PRIVATE_NAMESPACES();
    hostHadApplications_ = exists("/Applications");
    ws_.scriptVerb("detach", "");
  }

  void TearDown() override {
    // Whatever the run did, the host's own /Applications was never created or used.
    if (!hostHadApplications_) {
      EXPECT_FALSE(exists("/Applications"));
    }
  }

  std::string volume(const std::string& name) {
    std::string path = ws_.root() + "/volumes/" + name;
    fs::create_directories(path);
    return path;
  }

  // A small bundle: a property list, an executable, a resource, a relative link.
  std::string bundle(const std::string& volumePath, const std::string& name) {
    std::string path = volumePath + "/" + name;
    writeFile(path + "/Contents/Info.plist", "<plist><dict/></plist>\n");
    writeFile(path + "/Contents/MacOS/Sample", "#!/bin/sh\necho sample\n", 0755);
    writeFile(path + "/Contents/Resources/readme.txt", "hello\n", 0444);
    fs::create_directory_symlink("MacOS", path + "/Contents/Current");
    return path;
  }

  void attachWith(const std::vector<std::optional<std::string>>& mountPoints) {
    ws_.scriptVerb("attach", hdiutilRecord(mountPoints));
  }

  Records run(const std::string& image, const std::string& bundleName, int expectedStatus) {
    auto result = ws_.run({image, bundleName});
    EXPECT_EQ(result.exitStatus, expectedStatus) << result.standardError;
    EXPECT_EQ(result.standardOutput, "");
    return splitLogRecords(result.standardError);
  }

  // The records every run that gets past the mount step starts with.
  Records opening(const std::string& image, const std::string& bundleName, size_t entities) {
    std::string line = installer::mountCommandLine(ws_.work(), image);
    return {"Given Param_1_dmg_name -> " + image + "\n Given Param_2_app_name -> " + bundleName,
            "Base Path " + ws_.work(),
            "Mount cmd ->" + line,
            "Given Command /bin/bash " + line,
            "terminationStatus : 0 output : ",
            "Array count in systemEntities " + std::to_string(entities)};
  }

  static Records detachRecords(const std::string& mountPoint) {
    return {"Given Command /bin/bash " + installer::detachCommandLine(mountPoint), "terminationStatus : 0 output : "};
  }

  static Records joined(std::initializer_list<Records> parts) {
    Records all;
    for (const auto& part : parts) {
      all.insert(all.end(), part.begin(), part.end());
    }
    return all;
  }

  std::vector<std::string> detachedMountPoints() const {
    std::vector<std::string> detached;
    for (const auto& call : ws_.hdiutilCalls()) {
      if (!call.empty() && call[0] == "detach") {
        EXPECT_EQ(call.size(), 3u);
        EXPECT_EQ(call[1], "-force");
        detached.push_back(call.back());
      }
    }
    return detached;
  }

  // Runs Sample.app from Sample.dmg, which must fail before any copy: exactly the
  // opening records and then `ending`, the record removed, exactly the mount points
  // `detached` detached, nothing installed.
  void expectFailedRun(size_t entities, const Records& ending, const Records& detached) {
    EXPECT_EQ(run("Sample.dmg", "Sample.app", 1), joined({opening("Sample.dmg", "Sample.app", entities), ending}));
    EXPECT_FALSE(recordLeft());
    EXPECT_EQ(detachedMountPoints(), detached);
    EXPECT_TRUE(fs::is_empty(ws_.applications()));
  }

  bool recordLeft() const { return exists(ws_.work() + "/qzmount.plist"); }
  std::string installed(const std::string& name) const { return ws_.applications() + "/" + name; }

  Workspace ws_;
  bool hostHadApplications_ = false;
};

TEST_F(InstallRun, InstallsFromTheVolumeAndLogsExactlyTheSuccessSequence) {
  std::string mp = volume("Sample");
  std::string source = bundle(mp, "Sample.app");
  attachWith({std::nullopt, mp});

  Records log = run("My Disk Image.dmg", "Sample.app", 0);

  EXPECT_EQ(log, joined({opening("My Disk Image.dmg", "Sample.app", 2),
                         {"mount-point : " + mp, "Files list in the volume : [\"Sample.app\"]\n files count 1",
                          "Copying from appPath : " + mp + "/Sample.app destinationPath : /Applications/Sample.app",
                          "App Copied successfully"},
                         detachRecords(mp)}));
  // Blanks alone are escaped with a backslash, not quoted.
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[2], "Mount cmd ->echo YES | hdiutil attach -nobrowse -plist " + ws_.work() +
                        "/My\\ Disk\\ Image.dmg>" + ws_.work() + "/qzmount.plist");
  EXPECT_EQ(snapshotTree(installed("Sample.app")), snapshotTree(source));
  EXPECT_FALSE(recordLeft());
  ASSERT_EQ(ws_.hdiutilCalls().size(), 2u);
  EXPECT_EQ(ws_.hdiutilCalls()[0], (Records{"attach", "-nobrowse", "-plist", ws_.work() + "/My Disk Image.dmg"}));
  EXPECT_EQ(ws_.hdiutilStdin(0), "YES\n");
  EXPECT_EQ(detachedMountPoints(), Records{mp});
}

TEST_F(InstallRun, LogReaderThatGoesAwayDoesNotCutTheInstallShort) {
  std::string mp = volume("Sample");
  std::string source = bundle(mp, "Sample.app");
  attachWith({mp});

  auto result = ws_.runWithLogReaderGone({"Sample.dmg", "Sample.app"});

  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(snapshotTree(installed("Sample.app")), snapshotTree(source));
  EXPECT_FALSE(recordLeft());
  EXPECT_EQ(detachedMountPoints(), Records{mp});
}

TEST_F(InstallRun, ListingFailureAbandonsAndLeavesTheVolumeAttached) {
  std::string mp = ws_.root() + "/volumes/gone";
  attachWith({std::nullopt, mp});
  expectFailedRun(2,
                  {"mount-point : " + mp,
                   "PropertyListSerialization Failed!!!!! or not able to get contents of directory "
                   "No such file or directory (listing " + mp + ")"},
                  {});
}

TEST_F(InstallRun, EmptyVolumeIsDetachedAndTheRunFails) {
  std::string mp = volume("Empty");
  attachWith({mp});
  expectFailedRun(1,
                  joined({{"mount-point : " + mp, "Files list in the volume : []\n files count 0",
                           "Files not found in mounted volume, hence installation failed!!!!!"},
                          detachRecords(mp)}),
                  {mp});
}

TEST_F(InstallRun, VolumeWithoutTheBundleIsDetachedAndTheRunFails) {
  std::string mp = volume("Other");
  bundle(mp, "Other.app");
  attachWith({std::nullopt, mp});
  expectFailedRun(
      2, joined({{"mount-point : " + mp, "Files list in the volume : [\"Other.app\"]\n files count 1", kNotFound},
                 detachRecords(mp)}),
      {mp});
}

TEST_F(InstallRun, EmptyMountPointIsReportedAndPassedOver) {
  attachWith({std::nullopt, std::string()});
  expectFailedRun(2, {"mount-point : ", "mount-point not found in mounted volume's plist, hence installation failed!!!!!"},
                  {});
}

TEST_F(InstallRun, NoEntityWithAMountPoint) {
  attachWith({std::nullopt, std::nullopt});
  expectFailedRun(2, {"mount-point key not found in mounted volume's plist, hence installation failed!!!!!"}, {});
}

TEST_F(InstallRun, FailedCopyStillRemovesTheRecordAndDetachesButDoesNotUnhide) {
  std::string mp = volume("Broken");
  std::string source = bundle(mp, "Sample.app");
  ASSERT_EQ(::mkfifo((source + "/Contents/pipe").c_str(), 0644), 0);
  testing_support::setAttribute(source, "user.hidden", "1");
  attachWith({mp});
  bundle(ws_.applications(), "Sample.app");
  Records oldBundle = snapshotTree(installed("Sample.app"));

  Records log = run("Sample.dmg", "Sample.app", 1);

  ASSERT_EQ(log.size(), 12u) << ::testing::PrintToString(log);
  EXPECT_EQ(log[8], "Copying from appPath : " + mp + "/Sample.app destinationPath : /Applications/Sample.app");
  EXPECT_EQ(log[9], "App Copied Failed!!!!!!!!!!! A FIFO (named pipe) cannot be part of an application bundle "
                    "(copying " + mp + "/Sample.app/Contents/pipe)");
  EXPECT_EQ(Records(log.begin() + 10, log.end()), detachRecords(mp));
  EXPECT_FALSE(recordLeft());
  // The older copy is exactly as it was, and no temporary copy is left beside it.
  EXPECT_EQ(testing_support::namesIn(ws_.applications()), Records{"Sample.app"});
  EXPECT_EQ(snapshotTree(installed("Sample.app")), oldBundle);
}

TEST_F(InstallRun, HiddenBundleIsUnhiddenAfterTheDetach) {
  std::string mp = volume("Sample");
  std::string source = bundle(mp, "Sample.app");
  testing_support::setAttribute(source, "user.hidden", "1");
  attachWith({mp});

  Records log = run("Sample.dmg", "Sample.app", 0);

  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(Records(log.end() - 3, log.end()),
            joined({detachRecords(mp), {"App is hidden, Hence Unhid app"}}));
  EXPECT_FALSE(hasHiddenFlag(installed("Sample.app")));
  EXPECT_TRUE(hasHiddenFlag(source)) << "the volume's bundle is left as it is";
}

TEST_F(InstallRun, FlagThatCannotBeClearedFailsTheRun) {
  std::string mp = volume("Sample");
  std::string source = bundle(mp, "Sample.app");
  testing_support::setAttribute(source, "user.hidden", "1");
  attachWith({mp});
  // Between the copy and the unhide, the detach makes the installed bundle read-only
  // (a read-only bind mount, inside the run's private namespace).
  ws_.scriptVerbAction("detach",
                       "mount --bind /Applications/Sample.app /Applications/Sample.app && "
                       "mount -o remount,bind,ro /Applications/Sample.app\n");

  Records log = run("Sample.dmg", "Sample.app", 1);

  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[log.size() - 3], "App is hidden, Hence Unhid app");
  EXPECT_EQ(log[log.size() - 2], " checkAndUnhideApp : Getting/Setting App attributes Failed!!!!! "
                                 "Read-only file system (clearing the hidden flag of /Applications/Sample.app)");
  EXPECT_EQ(log.back(), "Error in deleting the plist");
  EXPECT_TRUE(hasHiddenFlag(installed("Sample.app")));
}

TEST_F(InstallRun, FlagThatCannotBeReadFailsTheRun) {
  std::string mp = volume("Sample");
  bundle(mp, "Sample.app");
  attachWith({mp});
  ws_.scriptVerbAction("detach", "rm -rf /Applications/Sample.app\n");

  Records log = run("Sample.dmg", "Sample.app", 1);

  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2], " checkAndUnhideApp : Getting/Setting App attributes Failed!!!!! "
                                 "No such file or directory (reading the hidden flag of /Applications/Sample.app)");
  EXPECT_EQ(log.back(), "Error in deleting the plist");
}

TEST_F(InstallRun, SecondVolumeHoldsTheBundleAfterTheFirstIsDetached) {
  std::string first = volume("First");
  bundle(first, "Other.app");
  std::string second = volume("Second");
  std::string source = bundle(second, "Sample.app");
  std::string third = volume("Third");
  attachWith({std::nullopt, first, std::nullopt, second, third});

  Records log = run("Sample.dmg", "Sample.app", 0);

  EXPECT_EQ(log, joined({opening("Sample.dmg", "Sample.app", 5),
                         {"mount-point : " + first, "Files list in the volume : [\"Other.app\"]\n files count 1",
                          kNotFound},
                         detachRecords(first),
                         {"mount-point : " + second, "Files list in the volume : [\"Sample.app\"]\n files count 1",
                          "Copying from appPath : " + second + "/Sample.app destinationPath : /Applications/Sample.app",
                          "App Copied successfully"},
                         detachRecords(second)}));
  // The volume after the one installed from is never visited.
  EXPECT_EQ(detachedMountPoints(), (Records{first, second}));
  EXPECT_EQ(snapshotTree(installed("Sample.app")), snapshotTree(source));
}

TEST_F(InstallRun, NameDifferingOnlyInCaseIsNotTheBundle) {
  std::string mp = volume("Sample");
  bundle(mp, "sample.app");
  attachWith({mp});

  Records log = run("Sample.dmg", "Sample.app", 1);

  EXPECT_TRUE(logHas(log, kNotFound));
  EXPECT_FALSE(exists(installed("sample.app")));
  EXPECT_FALSE(exists(installed("Sample.app")));
}

TEST_F(InstallRun, ComposedNameFindsTheDecomposedBundle) {
  const std::string composed = "Caf\xC3\xA9.app";
  const std::string decomposed = "Cafe\xCC\x81.app";
  std::string mp = volume("Cafe");
  std::string source = bundle(mp, decomposed);
  attachWith({mp});

  Records log = run("Cafe.dmg", composed, 0);

  EXPECT_TRUE(logHas(log, "Copying from appPath : " + mp + "/" + decomposed + " destinationPath : /Applications/" + composed));
  EXPECT_EQ(snapshotTree(installed(composed)), snapshotTree(source));
}

TEST_F(InstallRun, MountPointEndingInASlash) {
  std::string mp = volume("Sample") + "/";
  std::string source = bundle(mp, "Sample.app");
  attachWith({mp});

  Records log = run("Sample.dmg", "Sample.app", 0);

  EXPECT_TRUE(logHas(log, "Copying from appPath : " + mp + "/Sample.app destinationPath : /Applications/Sample.app"));
  EXPECT_EQ(detachedMountPoints(), Records{mp});
  EXPECT_EQ(snapshotTree(installed("Sample.app")), snapshotTree(source));
}

TEST_F(InstallRun, NamesWithBlanksQuotesAndPercentSigns) {
  const std::string image = "My \"Disk\" 100%s.dmg";
  const std::string name = "It's \"100%n\" $HOME.app";
  std::string mp = volume("Vol \"Q\" 5%d");
  std::string source = bundle(mp, name);
  attachWith({std::nullopt, mp});

  Records log = run(image, name, 0);

  EXPECT_EQ(log, joined({opening(image, name, 2),
                         {"mount-point : " + mp,
                          "Files list in the volume : [\"It's \\\"100%n\\\" $HOME.app\"]\n files count 1",
                          "Copying from appPath : " + mp + "/" + name + " destinationPath : /Applications/" + name,
                          "App Copied successfully"},
                         detachRecords(mp)}));
  EXPECT_EQ(ws_.hdiutilCalls()[0].back(), ws_.work() + "/" + image);
  EXPECT_EQ(detachedMountPoints(), Records{mp});
  EXPECT_EQ(snapshotTree(installed(name)), snapshotTree(source));
}

}  // namespace
