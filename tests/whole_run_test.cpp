// Whole runs of the built tool, which prove the wiring that in-process tests cannot:
// main's own steps, a private /Applications, closed standard streams, a log reader
// that goes away.  The scripted hdiutil is first on PATH.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <optional>

#include "image/mount.h"
#include "image/unmount.h"
#include "support/item_state.h"
#include "support/log_capture.h"
#include "support/private_mounts.h"
#include "support/record.h"
#include "support/tree_snapshot.h"
#include "support/workspace.h"

namespace fs = std::filesystem;
using testing_support::exists;
using testing_support::snapshotTree;
using testing_support::splitLogRecords;
using testing_support::writeFile;
using Records = std::vector<std::string>;

namespace {

class WholeRun : public ::testing::Test {
protected:
  void SetUp() override {
    SKIP_WITHOUT_PRIVATE_NAMESPACES();
    hostHadApplications_ = exists("/Applications");
    ws_.scriptVerb("detach", "");
    mp_ = ws_.root() + "/volumes/Sample";
    source_ = mp_ + "/Sample.app";
    writeFile(source_ + "/Contents/Info.plist", "<plist><dict/></plist>\n");
    writeFile(source_ + "/Contents/MacOS/Sample", "#!/bin/sh\necho sample\n", 0755);
    fs::create_directory_symlink("MacOS", source_ + "/Contents/Current");
    ws_.scriptVerb("attach", testing_support::hdiutilRecord({std::nullopt, mp_}));
  }

  void TearDown() override {
    // Whatever the run did, the host's own /Applications was never created or used.
    // A skipped test ran nothing, and checks nothing.
    if (!IsSkipped() && !hostHadApplications_) {
      EXPECT_FALSE(exists("/Applications"));
    }
  }

  Records run(int expectedStatus, const std::vector<std::string>& wrapper = {}) {
    auto result = ws_.run({"Sample.dmg", "Sample.app"}, wrapper);
    EXPECT_EQ(result.exitStatus, expectedStatus) << result.standardError;
    EXPECT_EQ(result.standardOutput, "");
    return splitLogRecords(result.standardError);
  }

  std::string installed() const { return ws_.applications() + "/Sample.app"; }
  bool recordLeft() const { return exists(ws_.work() + "/qzmount.plist"); }

  testing_support::Workspace ws_;
  std::string mp_;
  std::string source_;
  bool hostHadApplications_ = false;
};

TEST_F(WholeRun, InstallsUnhidesAndLogsExactlyTheSuccessSequence) {
  testing_support::hideItem(source_);
  // The detach notes whether the record is still there when it runs: it must be gone.
  ws_.scriptVerbAction("detach", "[ -e '" + ws_.work() + "/qzmount.plist' ] && echo present > '" + ws_.root() +
                                     "/record-at-detach'; true");
  Records log = run(0);

  std::string line = installer::mountCommandLine(ws_.work(), "Sample.dmg");
  EXPECT_EQ(log, (Records{"Given Param_1_dmg_name -> Sample.dmg\n Given Param_2_app_name -> Sample.app",
                          "Base Path " + ws_.work(), "Mount cmd ->" + line, "Given Command /bin/bash " + line,
                          "terminationStatus : 0 output : ", "Array count in systemEntities 2",
                          "mount-point : " + mp_, "Files list in the volume : [\"Sample.app\"]\n files count 1",
                          "Copying from appPath : " + source_ + " destinationPath : /Applications/Sample.app",
                          "App Copied successfully",
                          "Given Command /bin/bash " + installer::detachCommandLine(mp_),
                          "terminationStatus : 0 output : ", "App is hidden, Hence Unhid app"}));
  EXPECT_FALSE(testing_support::itemHidden(installed()));
  EXPECT_TRUE(testing_support::itemHidden(source_)) << "the volume's bundle is left as it is";
  testing_support::hideItem(installed());
  EXPECT_EQ(snapshotTree(installed()), snapshotTree(source_));
  EXPECT_FALSE(recordLeft());
  EXPECT_FALSE(exists(ws_.root() + "/record-at-detach")) << "the record must be gone before the detach";
}

TEST_F(WholeRun, FailedCopyEndsWithStatus1AndLeavesTheOlderCopyAsItWas) {
  ASSERT_EQ(::mkfifo((source_ + "/Contents/pipe").c_str(), 0644), 0);
  writeFile(installed() + "/Contents/Info.plist", "older");
  // Were the unhide attempted, it would clear the older copy's flag and say so.
  testing_support::hideItem(installed());
  Records older = snapshotTree(installed());

  Records log = run(1);

  // The record goes, the volume is detached, and nothing is unhidden.
  ASSERT_EQ(log.size(), 12u) << ::testing::PrintToString(log);
  EXPECT_EQ(log[9], "App Copied Failed!!!!!!!!!!! A FIFO (named pipe) cannot be part of an application bundle "
                    "(copying " + source_ + "/Contents/pipe)");
  EXPECT_EQ(log[10], "Given Command /bin/bash " + installer::detachCommandLine(mp_));
  EXPECT_EQ(snapshotTree(installed()), older);
  EXPECT_EQ(testing_support::namesIn(ws_.applications()), Records{"Sample.app"});
  EXPECT_FALSE(recordLeft());
}

TEST_F(WholeRun, FlagThatCannotBeClearedFailsTheRun) {
  testing_support::hideItem(source_);
  // Between the copy and the unhide, the detach makes the installed bundle read-only
  // (a read-only bind mount, inside the run's private namespace).
  ws_.scriptVerbAction("detach",
                       "mount --bind /Applications/Sample.app /Applications/Sample.app && "
                       "mount -o remount,bind,ro /Applications/Sample.app\n");

  Records log = run(1);

  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(Records(log.end() - 3, log.end()),
            (Records{"App is hidden, Hence Unhid app",
                     " checkAndUnhideApp : Getting/Setting App attributes Failed!!!!! "
                     "Read-only file system (clearing the hidden flag of /Applications/Sample.app)",
                     "Error in deleting the plist"}));
  EXPECT_TRUE(testing_support::itemHidden(installed()));
}

TEST_F(WholeRun, ClosedStandardStreamsOrALogReaderThatGoesAwayDoNotStopTheInstall) {
  // Nothing can be read of the log then; the installed tree and the clean-up tell.
  // The second wrapper's reader opens the FIFO and exits at once; once it is gone
  // (wait), the tool's standard error is a pipe nobody reads.
  for (const std::vector<std::string>& wrapper :
       {std::vector<std::string>{"/bin/bash", "-c", "exec 0<&- 1>&- 2>&- \"$@\"", "bash"},
        {"/bin/bash", "-c", "mkfifo \"$0\" || exit 1; { exec 3<\"$0\"; } & exec 4>\"$0\"; wait; exec \"$@\" 2>&4 4>&-",
         ws_.root() + "/log.fifo"}}) {
    SCOPED_TRACE(wrapper[2]);
    run(0, wrapper);
    EXPECT_EQ(snapshotTree(installed()), snapshotTree(source_));
    EXPECT_FALSE(recordLeft());
    EXPECT_EQ(ws_.hdiutilCalls().size(), 2u);
    fs::remove_all(installed());
    fs::remove_all(ws_.fake() + "/calls");
  }
}

TEST_F(WholeRun, InstalledBundleSurvivesAPowerCut) {
  SKIP_WITHOUT_LOOP_FILE_SYSTEMS();
  testing_support::LoopFileSystem disk(ws_.root() + "/applications.img", ws_.applications());

  // A success is durable once reported: the power goes at the tool's exit, and again
  // past ext4's 5-second journal commit, which alone keeps names but not contents.
  char data = 'a';
  for (unsigned wait : {0u, 0u, 7u}) {
    SCOPED_TRACE((data == 'a' ? "fresh install, cut after " : "replacement, cut after ") + std::to_string(wait));
    writeFile(source_ + "/Contents/Resources/data", std::string(4096, data++));
    Records log = run(0);
    EXPECT_EQ(log.size(), data == 'b' ? 12u : 13u) << ::testing::PrintToString(log);
    ::sleep(wait);
    disk.cutPowerAndRemount();
    EXPECT_EQ(snapshotTree(installed()), snapshotTree(source_));
  }
}

}  // namespace
