// The mount step against real bash and the scripted hdiutil: the attach's status, and
// what becomes of each kind of record; and the record's removal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "image/mount.h"
#include "image/unmount.h"
#include "platform/property_list.h"
#include "support/log_capture.h"
#include "support/named_case.h"
#include "support/record.h"
#include "support/tracing.h"
#include "support/workspace.h"

using testing_support::capturedLog;
using testing_support::caseName;
using testing_support::Named;
using testing_support::exists;
using testing_support::HdiutilHere;
using testing_support::logHas;
using testing_support::recordSeed;
using testing_support::TempDir;
using testing_support::readFile;
using testing_support::Workspace;
using testing_support::writeFile;

namespace {

// In-process: the working folder is a fresh folder, hdiutil the scripted one.
class MountInProcess : public ::testing::Test {
protected:
  Workspace workspace;
  HdiutilHere here{workspace};
  std::string record = workspace.work() + "/qzmount.plist";

  std::vector<std::string> mount(installer::MountOutcome& outcome, const std::string& image = "x.dmg") {
    return capturedLog([&] { outcome = installer::mountImage(workspace.work(), image, installer::kAttachLimit); });
  }

  void expectTheRecordIsHdiutils() {
    EXPECT_EQ(readFile(victim), "precious");
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(record)));
    EXPECT_EQ(readFile(record), recordSeed("hdiutil-hfs.plist"));
  }

  const std::string victim = workspace.root() + "/victim";
};

// What hdiutil's attach prints into the record, or leaves at its path instead, and
// how the mount step ends for it.
struct RecordCase : Named {
  std::string printed;  // a seed of the fuzzer's corpus, or "" for nothing
  std::string action;   // bash run first as hdiutil's attach; "@" stands for the record's path
  std::string last;     // the step's last message; "@" as above
  int status;           // 0: the run goes on to the search
};

class RecordKinds : public MountInProcess, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(RecordKinds, EndAsTheyShould) {
  const RecordCase& c = GetParam();
  auto at = [&](std::string text) {
    for (size_t from = text.find('@'); from != std::string::npos; from = text.find('@', from + record.size())) {
      text.replace(from, 1, record);
    }
    return text;
  };
  const std::string printed = c.printed.empty() ? "" : recordSeed(c.printed);
  const std::string elsewhere = workspace.root() + "/elsewhere.plist";
  writeFile(elsewhere, recordSeed("hdiutil-hfs.plist"));
  workspace.scriptVerb("attach", printed);
  if (!c.action.empty()) {
    workspace.scriptVerbAction("attach", at(c.action));
  }
  installer::MountOutcome outcome;
  auto log = mount(outcome);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), at(c.last));
  EXPECT_EQ(outcome.exitStatus, c.status);
  EXPECT_EQ(outcome.entities.has_value(), c.status == 0);
  // Only a plain file of this user's own is read.
  EXPECT_EQ(outcome.plistData, c.action.empty() ? std::optional(printed) : std::nullopt);
  // The record stays for the search, and goes on every failure after it was read.
  EXPECT_EQ(exists(record), c.status == 0);
  EXPECT_FALSE(logHas(log, "Error in deleting the plist"));
  EXPECT_EQ(readFile(elsewhere), recordSeed("hdiutil-hfs.plist"));
}

const std::string kAbandon = "PropertyListSerialization Failed!!!!! or not able to get contents of directory ";
const std::string kNoRows = "No rows found in mounted volume's plist, hence installation failed!!!!!";
const std::string kNotAPlist = kAbandon + std::string(installer::kNotAPropertyList);
const std::string kNotOwn = kAbandon + "The file is not this user's alone (reading @)";

INSTANTIATE_TEST_SUITE_P(
    Records, RecordKinds,
    ::testing::Values(
        RecordCase{{"Hfs"}, "hdiutil-hfs.plist", "", "Array count in systemEntities 2", 0},
        RecordCase{{"ApfsBinary"}, "hdiutil-apfs.bplist", "", "Array count in systemEntities 3", 0},
        RecordCase{{"LicenceAround"}, "licence-around.txt", "", "Array count in systemEntities 3", 0},
        RecordCase{{"Empty"}, "empty", "", kNotAPlist, 1}, RecordCase{{"Text"}, "text.txt", "", kNotAPlist, 1},
        RecordCase{{"Truncated"}, "truncated.plist", "", kNotAPlist, 1},
        RecordCase{{"TooDeep"}, "deep-binary.bplist", "",
                   kAbandon + "The property list nests containers more than 512 levels deep.", 1},
        RecordCase{{"TopEmpty"}, "top-empty.plist", "", kNoRows, 1},
        RecordCase{{"EntitiesEmpty"}, "entities-empty.plist", "", kNoRows, 1},
        RecordCase{{"EntitiesDict"}, "entities-dict.plist", "", kNoRows, 1},
        RecordCase{{"EntityString"}, "entity-string.plist", "", kNoRows, 1},
        RecordCase{{"TopArray"}, "top-array.plist", "", kNoRows, 1},
        RecordCase{{"NoEntitiesKey"}, "no-entities-key.plist", "", kNoRows, 1},
        // Gone: nothing to read, and nothing to remove.
        RecordCase{{"Missing"}, "", "rm '@'", "qzmount.plist is not available", 1},
        // What is no plain file, or too large, is abandoned unread; a pipe is opened
        // without waiting for a writer.
        RecordCase{{"Folder"}, "", "rm '@' && mkdir '@'", kAbandon + "Is a directory (reading @)", 1},
        RecordCase{{"Pipe"}, "", "rm '@' && mkfifo '@'", kAbandon + "Not a regular file (reading @)", 1},
        RecordCase{{"Link"}, "", "rm '@' && ln -s \"$(dirname '@')/../elsewhere.plist\" '@'",
                   kAbandon + "Too many levels of symbolic links (opening @)", 1},
        RecordCase{{"TooLarge"}, "", "rm '@' && head -c 5000000 /dev/zero > '@'",
                   kAbandon + "File too large (reading @)", 1},
        // Only this user may have written the record: anything else could name volumes
        // someone else wants searched.
        RecordCase{{"GroupWritable"}, "", "rm '@' && echo x > '@' && chmod 0620 '@'", kNotOwn, 1},
        RecordCase{{"OthersWritable"}, "", "rm '@' && echo x > '@' && chmod 0602 '@'", kNotOwn, 1}),
    caseName);

TEST_F(MountInProcess, WhateverStandsAtTheRecordPathGoesWithoutBeingFollowed) {
  struct Case {
    const char* name;
    std::function<void()> plant;
  };
  for (const Case& c : std::vector<Case>{
           {"link to a file", [&] { ASSERT_EQ(::symlink(victim.c_str(), record.c_str()), 0); }},
           {"link to nothing", [&] { ASSERT_EQ(::symlink("/nonexistent/x", record.c_str()), 0); }},
           {"stale record", [&] { writeFile(record, "old"); }},
           {"folder", [&] { writeFile(record + "/inside", "x"); }},
       }) {
    SCOPED_TRACE(c.name);
    writeFile(victim, "precious");
    c.plant();
    workspace.scriptVerb("attach", recordSeed("hdiutil-hfs.plist"));
    installer::MountOutcome outcome;
    auto log = mount(outcome);
    expectTheRecordIsHdiutils();
    EXPECT_EQ(log.back(), "Array count in systemEntities 2");
    EXPECT_EQ(log.size(), 4u);  // nothing logged for the removal
    std::filesystem::remove(record);
  }
}

// A working folder shared like /tmp: anyone may create files there, and only a file's
// owner may remove or replace it.  Needs root, to act as a second, unprivileged user.
class MountInASharedFolder : public MountInProcess {
protected:
  static constexpr uid_t kOtherUser = 65534;

  void SetUp() override {
    if (::geteuid() != 0) {
      GTEST_SKIP() << "needs root, to act as a second, unprivileged user";
    }
    ASSERT_EQ(::chmod(workspace.root().c_str(), 0711), 0);
    ASSERT_EQ(::chmod(workspace.work().c_str(), 01777), 0);
    writeFile(victim, "precious");
    workspace.scriptVerb("attach", recordSeed("hdiutil-hfs.plist"));
  }

  // Starts `body` in a child process as the other user; gives its pid.
  static pid_t asOtherUser(const std::function<int()>& body) {
    pid_t child = ::fork();
    if (child == 0) {
      ::_exit(::setgid(kOtherUser) == 0 && ::setuid(kOtherUser) == 0 ? body() : 120);
    }
    return child;
  }

  static int exitStatusOf(pid_t child) {
    int status = 0;
    return ::waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

};

TEST_F(MountInASharedFolder, NoOtherUserCanReplaceOrOpenTheRecordBeforeTheShellWritesIt) {
  // The run stands still just before it starts the shell, with the most permissive
  // file creation mask, and the other user tries to put a link at the record's path
  // or to open the record for writing.
  pid_t run = ::fork();
  if (run == 0) {
    int quiet = ::open("/dev/null", O_WRONLY);
    if (quiet < 0 || ::dup2(quiet, STDERR_FILENO) < 0) {
      ::_exit(120);
    }
    ::umask(0);
    testing_support::stopForTracer();
    installer::MountOutcome outcome = installer::mountImage(workspace.work(), "x.dmg", installer::kAttachLimit);
    ::_exit(outcome.entities ? 0 : outcome.exitStatus);
  }
  if (!testing_support::runUntil(run, testing_support::Moment::aboutToStartAProcess)) {
    ::kill(run, SIGKILL);
    ::waitpid(run, nullptr, 0);
    GTEST_SKIP() << "needs ptrace (Linux 5.3 or later) to stop a run just before it starts the shell";
  }
  int other = exitStatusOf(asOtherUser([&] {
    (void)::unlink(record.c_str());
    bool linked = ::symlink(victim.c_str(), record.c_str()) == 0;
    bool opened = ::open(record.c_str(), O_WRONLY | O_NOFOLLOW) >= 0;
    return (linked ? 1 : 0) | (opened ? 2 : 0);
  }));
  ASSERT_TRUE(testing_support::releaseTracedChild(run));

  EXPECT_EQ(other, 0) << "1: the other user put a link at the record's path; 2: opened the record";
  EXPECT_EQ(exitStatusOf(run), 0);
  expectTheRecordIsHdiutils();
}

TEST_F(MountInASharedFolder, ARecordOfAnotherUserIsNotRead) {
  workspace.scriptVerbAction("attach", "chown 65534 '" + record + "'");
  installer::MountOutcome outcome;
  auto log = mount(outcome);
  EXPECT_EQ(outcome.exitStatus, 1);
  EXPECT_EQ(log.back(), "PropertyListSerialization Failed!!!!! or not able to get contents of directory The file "
                        "is not this user's alone (reading " + record + ")");
}

TEST_F(MountInASharedFolder, ALinkPlantedAgainAndAgainNeverDeniesTheAttach) {
  pid_t planter = asOtherUser([&] {
    for (;;) {
      (void)::unlink(record.c_str());
      (void)::symlink(victim.c_str(), record.c_str());
    }
    return 0;
  });
  for (int round = 0; round < 10; ++round) {
    installer::MountOutcome outcome;
    mount(outcome);
    EXPECT_TRUE(outcome.entities) << "round " << round << " ended with status " << outcome.exitStatus;
  }
  ::kill(planter, SIGKILL);
  ::waitpid(planter, nullptr, 0);
  expectTheRecordIsHdiutils();
}

TEST(RemoveFiles, SilentOnSuccessOneFixedMessageOnFailure) {
  TempDir dir;
  const std::string target = dir / "target";
  writeFile(target, "kept");
  struct Case {
    const char* name;
    std::function<void(const std::string&)> plant;
    std::vector<std::string> log;
  };
  for (const Case& c : std::vector<Case>{
           {"nothing there", [](const std::string&) {}, {"Error in deleting the plist"}},
           {"file", [](const std::string& path) { writeFile(path, "x"); }, {}},
           {"folder with content", [](const std::string& path) { writeFile(path + "/a/b", "x"); }, {}},
           {"link", [&](const std::string& path) { ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0); }, {}},
       }) {
    const std::string path = dir / "qzmount.plist";
    c.plant(path);
    EXPECT_EQ(capturedLog([&] { installer::removeFiles(path); }), c.log) << c.name;
    EXPECT_FALSE(exists(path)) << c.name;
    EXPECT_EQ(testing_support::readFile(target), "kept") << c.name;
  }
}

}  // namespace
