// Putting a copy in place: file systems that cannot swap, a system that refuses a
// step (as App Management does), what earlier runs left behind, and other users.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <set>
#include <utility>

#include "install/replace_item.h"
#include "platform/attributes.h"
#include "platform/error.h"
#include "platform/fd.h"
#include "support/bundles.h"
#include "support/tracing.h"
#include "support/tree_snapshot.h"

using namespace testing_support;
using installer::Temporary;
using installer::UniqueFd;

namespace {

// The system's own folder changes with some answers changed: a file system that
// cannot swap, plain renames whose turns (0 for the first) fail with an I/O error,
// and a system that refuses swaps or removals.  It keeps the names swapped and
// removed, in order, and lets something happen right before the first swap.
class PlayedChanges : public installer::FolderChanges {
public:
  bool swaps = true;
  std::set<int> failingRenames;
  bool refusesSwaps = false;
  bool refusesRemovals = false;
  std::function<void()> beforeSwap;
  Lines done;

  installer::Result<void> exchange(int folder, const std::string& first, const std::string& second) override {
    if (beforeSwap) {
      std::exchange(beforeSwap, nullptr)();
    }
    done.push_back("swap " + first);
    if (refusesSwaps) {
      return installer::systemError(EPERM, "renaming", first + " to " + second);
    }
    return swaps ? system().exchange(folder, first, second) : installer::Error{EINVAL, "cannot swap"};
  }
  installer::Result<void> renameWithoutReplacing(int folder, const std::string& from, const std::string& to) override {
    return swaps ? system().renameWithoutReplacing(folder, from, to) : installer::Error{EINVAL, "cannot promise"};
  }
  installer::Result<void> rename(int folder, const std::string& from, const std::string& to) override {
    if (failingRenames.contains(turn_++)) {
      return installer::systemError(EIO, "renaming", from + " to " + to);
    }
    return system().rename(folder, from, to);
  }
  installer::Result<void> remove(int folder, const std::string& name, int item, const std::string& path,
                                 size_t workers) override {
    done.push_back("remove " + name);
    if (refusesRemovals) {
      return installer::systemError(EPERM, "removing", path);
    }
    return system().remove(folder, name, item, path, workers);
  }

private:
  static installer::FolderChanges& system() { return installer::systemFolderChanges(); }
  int turn_ = 0;
};

installer::Result<installer::Replacement> replace(const Install& install, installer::FolderChanges& changes) {
  return installer::replaceWithCopy(install.source, install.destination, changes, copyWorkers());
}

const std::string kMark = installer::toolAttribute("temporary");

// Makes an old bundle at `path` and marks it as `kind` for `name`; gives it open.
UniqueFd makeMarked(const std::string& path, Temporary kind, const std::string& name) {
  if (!testing_support::exists(path)) {
    makeOldBundle(path);
  }
  UniqueFd item(::open(path.c_str(), O_RDONLY | O_DIRECTORY));
  EXPECT_TRUE(installer::markTemporary(item.get(), kind, name));
  return item;
}

TEST(ReplaceWithCopy, FileSystemWithoutSwapsSetsTheOldItemAsideAndPutsItBackOrSaysWhereItIs) {
  // Turn 0 sets the old item aside, turn 1 renames the copy in, turn 2 restores.
  struct Case {
    bool hadOld;
    std::set<int> failingRenames;
  };
  for (const Case& c : {Case{false, {}}, Case{true, {}}, Case{true, {1}}, Case{true, {1, 2}}}) {
    SCOPED_TRACE(::testing::PrintToString(c.failingRenames) + (c.hadOld ? " failing, old bundle" : " failing"));
    Install install;
    makeNewBundle(install.source);
    if (c.hadOld) {
      makeOldBundle(install.destination);
    }
    Lines before = snapshotTree(c.hadOld ? install.destination : install.source);
    PlayedChanges changes;
    changes.swaps = false;
    changes.failingRenames = c.failingRenames;

    auto replaced = replace(install, changes);

    Lines names = namesIn(install.applications);
    if (c.failingRenames.size() < 2) {
      EXPECT_EQ(names, Lines{"X.app"});
      EXPECT_EQ(snapshotTree(install.destination), c.failingRenames.empty() ? snapshotTree(install.source) : before);
    }
    if (c.failingRenames.empty()) {
      ASSERT_TRUE(replaced) << replaced.error().description;
      EXPECT_EQ(replaced->replacedExisting, c.hadOld);
      EXPECT_FALSE(replaced->leftover);
      continue;
    }
    ASSERT_FALSE(replaced);
    const std::string& description = replaced.error().description;
    EXPECT_TRUE(description.starts_with("Input/output error (renaming " + install.applications + "/.X.app."))
        << description;
    if (c.failingRenames.size() == 1) {
      EXPECT_EQ(description.find("put back"), std::string::npos) << description;
      continue;
    }
    // The old bundle is whole under its set-aside name, which the failure names and
    // no clean-up takes; the copy is gone.
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(names[0].starts_with(".X.app.previous.")) << names[0];
    EXPECT_NE(description.find("; the replaced item could not be put back (Input/output error (renaming " +
                               names[0] + " to X.app)) and is kept at " + install.applications + "/" + names[0]),
              std::string::npos)
        << description;
    EXPECT_EQ(snapshotTree(install.applications + "/" + names[0]), before);
  }
}

TEST(ReplaceWithCopy, RefusedReplacementLeavesTheOldAppAsItWasAndSaysWhy) {
  Install install;
  makeNewBundle(install.source);
  makeOldBundle(install.destination);
  Lines before = snapshotTree(install.destination);
  PlayedChanges changes;
  changes.refusesSwaps = true;

  auto replaced = replace(install, changes);

  ASSERT_FALSE(replaced);
  EXPECT_TRUE(replaced.error().description.starts_with("Operation not permitted (renaming " + install.applications +
                                                       "/.X.app."))
      << replaced.error().description;
  EXPECT_TRUE(replaced.error().description.ends_with(
      "; the system refused to replace the app (on macOS, the program that starts the installer needs the App "
      "Management or Full Disk Access permission)"))
      << replaced.error().description;
  EXPECT_EQ(namesIn(install.applications), Lines{"X.app"});
  EXPECT_EQ(snapshotTree(install.destination), before);
  EXPECT_EQ(attributeOf(install.destination, kMark), "<none>");
}

TEST(ReplaceWithCopy, ReplacedCopyThatCannotBeRemovedIsRemovedByTheNextRun) {
  Install install;
  makeNewBundle(install.source);
  makeOldBundle(install.destination);
  PlayedChanges refusing;
  refusing.refusesRemovals = true;

  auto replaced = replace(install, refusing);

  ASSERT_TRUE(replaced) << replaced.error().description;
  ASSERT_TRUE(replaced->leftover);
  EXPECT_TRUE(replaced->leftover->description.starts_with("Operation not permitted (removing " +
                                                          install.applications + "/.X.app."));
  EXPECT_EQ(snapshotTree(install.destination), snapshotTree(install.source));
  EXPECT_EQ(namesIn(install.applications).size(), 2u);

  // Only once its own copy is in place and the item it replaced gone.
  const std::string left = namesIn(install.applications)[0];
  PlayedChanges system;
  ASSERT_TRUE(replace(install, system));
  EXPECT_EQ(namesIn(install.applications), Lines{"X.app"});
  ASSERT_EQ(system.done.size(), 3u) << ::testing::PrintToString(system.done);
  EXPECT_EQ(system.done[1], "remove " + system.done[0].substr(5));
  EXPECT_EQ(system.done[2], "remove " + left);
}

// What stands under a temporary's name (or near it) before an install: only this
// tool's own leftovers go, and never one that a running install holds.
struct Leftover {
  std::string name;
  std::optional<Temporary> mark;
  std::string markedFor;  // the name the mark is for, when not its own
  bool empty = false;
  bool held = false;  // by a running install's lock
  bool removed = false;
};

TEST(ReplaceWithCopy, CleanUpTakesOnlyThisToolsUnheldLeftovers) {
  const std::vector<Leftover> leftovers = {
      {".X.app.Abcdefghijk1", Temporary::copy, "", false, true, false},       // a running install's
      {".X.app.Abcdefghijk2", Temporary::copy, "", false, false, true},       // a dead install's
      {".X.app.Abcdefghijk3", Temporary::replaced, "", false, true, true},    // set aside: needs no lock
      {".X.app.Abcdefghijk4", std::nullopt, "", false, false, false},         // merely the name
      {".X.app.Abcdefghijk5", std::nullopt, "", true, false, true},           // empty: died at birth
      {".X.app.Abcdefghijk6", Temporary::copy, ".X.app.Abcdefghijk7", false, false, false},  // renamed
      {".X.app.Abcdefghijk8", std::nullopt, "", true, true, false},           // being born
      // Names that only look alike: a temporary's name is the bundle's name between
      // dots and then exactly twelve letters or digits.
      {".X.app.previous.a1B2c3D4e5F6", Temporary::replaced, "", false, false, false},
      {".X.app.a1B2c3D4e5-6", Temporary::copy, "", false, false, false},
      {".X.app.a1B2c3D4e5F6g", Temporary::copy, "", false, false, false},
      {".XX.app.a1B2c3D4e5F6", Temporary::copy, "", false, false, false},
      {"X.app.a1B2c3D4e5F6", Temporary::copy, "", false, false, false},
  };
  Install install;
  makeNewBundle(install.source);
  makeOldBundle(install.destination);
  std::vector<UniqueFd> held;
  for (const Leftover& leftover : leftovers) {
    std::string path = install.applications + "/" + leftover.name;
    if (leftover.empty) {
      std::filesystem::create_directory(path);
    } else {
      makeOldBundle(path);
    }
    UniqueFd item(::open(path.c_str(), O_RDONLY | O_DIRECTORY));
    if (leftover.mark) {
      ASSERT_TRUE(installer::markTemporary(item.get(), *leftover.mark,
                                           leftover.markedFor.empty() ? leftover.name : leftover.markedFor));
    }
    if (leftover.held) {
      ASSERT_EQ(::flock(item.get(), LOCK_EX), 0);
      held.push_back(std::move(item));
    }
  }
  // A mark that a run which died left on the installed bundle goes too, and a copy
  // never carries one over from an image.
  setAttribute(install.destination, kMark, "replaced .X.app.Abcdefghijk9");
  setAttribute(install.source + "/Contents", kMark, "copy .X.app.Abcdefghijkl");

  capturedLog([&] { EXPECT_TRUE(copyApp(install.source, install.destination)); });

  Lines left = {"X.app"};
  for (const Leftover& leftover : leftovers) {
    if (!leftover.removed) {
      left.push_back(leftover.name);
    }
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(namesIn(install.applications), left);
  EXPECT_EQ(attributeOf(install.destination + "/Contents", kMark), "<none>");
}

TEST(ReplaceWithCopy, UpgradesOfAReadOnlyBundleLeaveNothingBehindAndNeverTheMark) {
  // Without the power to bypass permissions (an ordinary user, or CopyWithoutPermission-
  // Override), the replaced copy's read-only folders must be opened up to be emptied;
  // and a read-only top keeps even its owner from changing its attributes.
  Install install;
  makeNewBundle(install.source);
  writeFile(install.source + "/Contents/Locked/inside", "in a read-only folder");
  ::chmod((install.source + "/Contents/Locked").c_str(), 0555);
  ::chmod(install.source.c_str(), 0555);
  for (int run = 0; run < 3; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    Lines log = capturedLog([&] { EXPECT_TRUE(copyApp(install.source, install.destination)); });
    EXPECT_EQ(log, run > 0 ? kReplaced : Lines{"App Copied successfully"});
    EXPECT_EQ(namesIn(install.applications), Lines{"X.app"});
    EXPECT_EQ(attributeOf(install.destination, kMark), "<none>");
  }
  ::chmod(install.source.c_str(), 0755);
  ::chmod(install.destination.c_str(), 0755);
}

TEST(ReplaceWithCopy, WhatAnInstallKilledAtAnyMomentLeavesTheNextOneRemoves) {
  for (Moment moment : {Moment::firstFolderCreated, Moment::firstRenameDone}) {
    SCOPED_TRACE(moment == Moment::firstFolderCreated ? "killed once its copy exists" : "killed once swapped");
    Install install;
    makeNewBundle(install.source);
    makeOldBundle(install.destination);
    const Lines installed =
        snapshotTree(moment == Moment::firstRenameDone ? install.source : install.destination);
    const std::string logPath = install.dir / "log";
    pid_t killed = startInstall(install, logPath, stopForTracer);
    if (!runUntil(killed, moment)) {
      ::kill(killed, SIGKILL);
      finishInstall(killed, logPath);
      GTEST_SKIP() << "needs ptrace (Linux 5.3 or later) to stop a run at a chosen moment";
    }
    ::kill(killed, SIGKILL);
    finishInstall(killed, logPath);
    EXPECT_EQ(namesIn(install.applications).size(), 2u);

    // Even an install that fails cleans up first.
    capturedLog([&] { EXPECT_FALSE(copyApp(install.dir / "gone.app", install.destination)); });
    EXPECT_EQ(namesIn(install.applications), Lines{"X.app"});
    EXPECT_EQ(snapshotTree(install.destination), installed);
    EXPECT_EQ(attributeOf(install.destination, kMark), "<none>");
  }
}

TEST(ReplaceWithCopy, NoLockAnotherUserHoldsStallsAnInstallOrKeepsALeftover) {
  // Another user takes a shared or an exclusive lock on every item of the install
  // it can open: the destination folder, the installed bundle, the bundle on the
  // volume, and a bundle a dead run set aside.  The new copy it cannot open at all.
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root, to act as a second, unprivileged user";
  }
  Install install;
  ASSERT_EQ(::chmod(install.dir.path().c_str(), 0755), 0);
  makeNewBundle(install.source);
  makeOldBundle(install.destination);
  const std::string setAside = install.applications + "/.X.app.Abcdefghijk1";
  makeMarked(setAside, Temporary::replaced, ".X.app.Abcdefghijk1");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t other = ::fork();
  if (other == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
      ::_exit(120);
    }
    int operation = LOCK_EX;
    for (const std::string& path : {install.applications, install.destination, install.source, setAside}) {
      int fd = ::open(path.c_str(), O_RDONLY);
      if (fd < 0 || ::flock(fd, operation) != 0) {
        ::_exit(121);
      }
      operation = operation == LOCK_SH ? LOCK_EX : LOCK_SH;
    }
    (void)!::write(ready[1], "r", 1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "the other user could not take its locks";
  ::close(ready[0]);

  const std::string logPath = install.dir / "log";
  ChildInstall run = finishInstall(startInstall(install, logPath, [] { ::alarm(60); }), logPath);

  ::kill(other, SIGKILL);
  ::waitpid(other, nullptr, 0);
  EXPECT_EQ(run.status, 0) << "status " << run.status << ": " << ::testing::PrintToString(run.log);
  EXPECT_EQ(run.log, kReplaced);
  EXPECT_EQ(namesIn(install.applications), Lines{"X.app"});
  EXPECT_EQ(snapshotTree(install.destination), snapshotTree(install.source));
}

TEST(ReplaceWithCopy, RacingInstallsOfOneAppLeaveNoCopyBehindAndNoMarkOfTheOther) {
  // Another install runs whole between this one's look at the installed app and its
  // swap, which then takes the other's new copy out of place; or, while another is
  // still copying and has marked the installed app, this one fails.
  for (bool otherFinishes : {true, false}) {
    SCOPED_TRACE(otherFinishes ? "the other install finishes first" : "this one fails meanwhile");
    Install install;
    makeNewBundle(install.source);
    makeOldBundle(install.destination);
    const std::string others = ".X.app.Abcdefghijk1";
    UniqueFd held;
    PlayedChanges changes;
    changes.refusesSwaps = !otherFinishes;
    changes.beforeSwap = [&] {
      if (otherFinishes) {
        ASSERT_TRUE(installer::replaceWithCopy(install.source + "/Contents", install.destination));
        return;
      }
      held = makeMarked(install.applications + "/" + others, Temporary::copy, others);
      ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);
      setAttribute(install.destination, kMark, "replaced " + others);
    };

    auto replaced = replace(install, changes);

    ASSERT_EQ(bool(replaced), otherFinishes);
    EXPECT_TRUE(!otherFinishes || !replaced->leftover);
    EXPECT_EQ(namesIn(install.applications), (otherFinishes ? Lines{"X.app"} : Lines{others, "X.app"}));
    EXPECT_EQ(attributeOf(install.destination, kMark), otherFinishes ? "<none>" : "replaced " + others);
  }
}

}  // namespace
