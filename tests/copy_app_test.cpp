// Installing a bundle over whatever stands at the destination, on real trees: the
// log, the result, and that the installed app is never lost or left half-written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <regex>

#include "install/replace_item.h"
#include "platform/fd.h"
#include "platform/fs.h"
#include "platform/removal.h"
#include "support/bundles.h"
#include "support/named_case.h"
#include "support/private_mounts.h"
#include "support/tracing.h"
#include "support/tree_snapshot.h"

using namespace testing_support;
using installer::isTemporaryNameFor;
using installer::UniqueFd;

namespace {

// The log of a copyApp, which must succeed, or fail.
Lines loggedInstall(const Install& install, bool succeeds = true) {
  bool copied = !succeeds;
  Lines log = capturedLog([&] { copied = copyApp(install.source, install.destination); });
  EXPECT_EQ(copied, succeeds);
  return log;
}

// Copies of sleep started from `executables`, killed with the test.
struct Sleepers {
  std::vector<pid_t> ids;
  explicit Sleepers(const Lines& executables) {
    for (const std::string& path : executables) {
      std::filesystem::create_directories(std::filesystem::path(path).parent_path());
      std::filesystem::copy_file("/bin/sleep", path);
      const char* arguments[] = {path.c_str(), "600", nullptr};
      char* environment[] = {nullptr};
      EXPECT_EQ(::posix_spawn(&ids.emplace_back(), path.c_str(), nullptr, nullptr, const_cast<char**>(arguments),
                              environment), 0);
    }
    std::sort(ids.begin(), ids.end());
  }
  ~Sleepers() {
    for (pid_t id : ids) {
      ::kill(id, SIGKILL);
      ::waitpid(id, nullptr, 0);
    }
  }
};

enum class Standing { nothing, oldBundle, plainFile, link, running, manyRunning, runningBeside };

struct ReplaceCase : Named {
  Standing standing;
  Lines log;  // "{d}" stands for the destination, "{1}" to "{6}" for the sleepers' ids
};

const std::string kRunning = "The app was running while it was replaced, and may misbehave until it is reopened: {d} ";

class CopyAppReplaces : public ::testing::TestWithParam<ReplaceCase> {};

TEST_P(CopyAppReplaces, LeavesExactlyTheNewBundle) {
  Install install;
  makeNewBundle(install.source);
  const Standing standing = GetParam().standing;
  Lines sleepers, names{"X.app"};
  switch (standing) {
    case Standing::nothing:
      break;
    case Standing::running:  // behind a linked folder, as /Applications may be
      std::filesystem::rename(install.applications, install.dir / "real");
      std::filesystem::create_directory_symlink(install.dir / "real", install.applications);
      [[fallthrough]];
    case Standing::manyRunning:
      for (int i = standing == Standing::manyRunning ? 6 : 1; i > 0; --i) {
        sleepers.push_back(install.destination + "/Contents/MacOS/sleep" + std::to_string(i));
      }
      [[fallthrough]];
    case Standing::oldBundle:
      makeOldBundle(install.destination);
      break;
    case Standing::runningBeside:
      makeOldBundle(install.destination);
      sleepers.push_back(install.destination + "2/sleep");
      names.push_back("X.app2");
      break;
    case Standing::plainFile:
      writeFile(install.destination, "a plain file", 0644);
      break;
    case Standing::link:
      makeOldBundle(install.dir / "elsewhere/X.app");
      std::filesystem::create_directory_symlink(install.dir / "elsewhere/X.app", install.destination);
      break;
  }
  Lines before = GetParam().standing == Standing::link ? snapshotTree(install.dir / "elsewhere") : Lines{};
  Sleepers running(sleepers);
  Lines log = GetParam().log;
  for (std::string& line : log) {
    for (size_t at; (at = line.find('{')) != std::string::npos;) {
      const char key = line[at + 1];
      line.replace(at, 3, key == 'd' ? install.destination : std::to_string(running.ids.at(key - '1')));
    }
  }

  EXPECT_EQ(loggedInstall(install), log);
  for (pid_t id : running.ids) {
    EXPECT_EQ(::waitpid(id, nullptr, WNOHANG), 0) << "the install ended process " << id;
  }
  EXPECT_EQ(snapshotTree(install.destination), snapshotTree(install.source));
  EXPECT_EQ(namesIn(install.applications), names);
  if (GetParam().standing == Standing::link) {
    // The link was replaced, not followed: what it pointed at is untouched.
    EXPECT_EQ(snapshotTree(install.dir / "elsewhere"), before);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Destinations, CopyAppReplaces,
    ::testing::Values(ReplaceCase{{"NothingThere"}, Standing::nothing, {"App Copied successfully"}},
                      ReplaceCase{{"OlderBundleWithExtraFile"}, Standing::oldBundle, kReplaced},
                      ReplaceCase{{"PlainFileInTheWay"}, Standing::plainFile, kReplaced},
                      ReplaceCase{{"LinkInTheWay"}, Standing::link, kReplaced},
                      ReplaceCase{{"AppRunning"}, Standing::running,
                                  {kReplaced[0], kRunning + "(process ids {1})", kReplaced[1]}},
                      ReplaceCase{{"AppRunningSixTimes"}, Standing::manyRunning,
                                  {kReplaced[0], kRunning + "(process ids {1}, {2}, {3}, {4}, {5} and 1 more)",
                                   kReplaced[1]}},
                      ReplaceCase{{"OtherAppRunningUnderALongerName"}, Standing::runningBeside, kReplaced}),
    caseName);

// macOS may name an executable in /Applications, or the bundle, by its data volume path.
TEST(CopyApp, AppRunsFromTheBundleUnderEitherNameOfItsFolder) {
  using installer::Firmlinks;
  const std::string data = "/System/Volumes/Data", app = "/Applications/X.app";
  for (const auto& [executable, bundle] : std::vector<std::pair<std::string, std::string>>{
           {data + app + "/X", app}, {app + "/X", data + app}, {app, app}}) {
    EXPECT_TRUE(installer::liesInside(executable, bundle, Firmlinks::dataVolume)) << executable;
    EXPECT_EQ(installer::liesInside(executable, bundle, Firmlinks::none), executable == bundle) << executable;
  }
  EXPECT_FALSE(installer::liesInside(data + app + "2/X", app, Firmlinks::dataVolume));
}

// A copy that fails: one failure line, false, whatever stood at the destination
// exactly as before, no temporary sibling.
struct FailedCopy : Named {
  bool needsOwnMounts;
  // Readies the install (and the mounts it needs, kept alive in `mounts`); gives the
  // start of the failure's description.
  std::function<std::string(Install&, std::vector<ScopedMount>& mounts)> make;
};

class CopyAppFails : public ::testing::TestWithParam<FailedCopy> {};

TEST_P(CopyAppFails, AndLeavesWhatStoodThere) {
  if (GetParam().needsOwnMounts) {
    SKIP_WITHOUT_OWN_MOUNTS();
  }
  Install install;
  std::vector<ScopedMount> mounts;
  const std::string description = GetParam().make(install, mounts);
  const bool hadOld = std::filesystem::exists(install.destination);
  Lines before = hadOld ? snapshotTree(install.destination) : Lines{};
  Lines log = loggedInstall(install, false);
  ASSERT_EQ(log.size(), 1u) << ::testing::PrintToString(log);
  EXPECT_TRUE(log[0].starts_with(kCopyFailed + description)) << log[0];
  if (std::filesystem::exists(install.applications)) {
    EXPECT_EQ(namesIn(install.applications), hadOld ? Lines{"X.app"} : Lines{});
  }
  EXPECT_EQ(hadOld ? snapshotTree(install.destination) : Lines{}, before);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, CopyAppFails,
    ::testing::Values(
        FailedCopy{{"NothingAtTheSourceWithAnOldBundle"}, false,
                   [](Install& install, auto&) {
                     makeOldBundle(install.destination);
                     return "No such file or directory (copying " + install.source + ")";
                   }},
        FailedCopy{{"NoDestinationFolder"}, false,
                   [](Install& install, auto&) {
                     makeNewBundle(install.source);
                     std::filesystem::remove(install.applications);
                     return "No such file or directory (opening " + install.applications + ")";
                   }},
        FailedCopy{{"DiskFullMidway"}, true,
                   [](Install& install, std::vector<ScopedMount>& mounts) {
                     mounts.emplace_back("tmpfs", install.applications, "size=1m");
                     makeOldBundle(install.destination);
                     makeNewBundle(install.source, 3 * 1024 * 1024);
                     addManyFiles(install.source, 64, 96 * 1024);
                     return "No space left on device (writing " + install.applications + "/.X.app.";
                   }},
        FailedCopy{{"ReadOnlyDestination"}, true,
                   [](Install& install, std::vector<ScopedMount>& mounts) {
                     makeOldBundle(install.destination);
                     makeNewBundle(install.source);
                     mounts.push_back(ScopedMount::readOnly(install.applications));
                     return "Read-only file system (creating " + install.applications + "/.X.app.";
                   }}),
    caseName);

// The failing item deep inside a bundle of many files, and what makes it fail.
struct FirstFailureCase : Named {
  // Makes the failing item at `path`, with the bundle's other files around it; the
  // expected failure, "" to skip the case.
  std::string (*make)(const Install& install, const std::string& path);
  off_t fileSizeLimit;  // for the child, 0 for none
};

constexpr off_t kChildFileSizeLimit = 4 << 20;

void makeFifo(const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0); }
// Large enough that the walk hands it to a worker and goes on meanwhile.
void makeTooLargeFile(const std::string& path) { writeFile(path, std::string(kChildFileSizeLimit + (14 << 20), 'L')); }

std::string makeFifoAt(const Install&, const std::string& path) {
  makeFifo(path);
  return kCopyFailed + "A FIFO (named pipe) cannot be part of an application bundle (copying " + path + ")";
}

std::string makeUnreadableFileAt(const Install&, const std::string& path) {
  writeFile(path, "secret", 0);
  if (UniqueFd(::open(path.c_str(), O_RDONLY))) {
    return "";  // root with the power to bypass permissions
  }
  return kCopyFailed + "Permission denied (opening " + path + ")";
}

// The names in the folder at `path`, in the order the file system lists them.
Lines listingOrder(const std::string& path) {
  Lines names;
  for (const auto& entry : std::filesystem::directory_iterator(path)) {
    names.push_back(entry.path().filename());
  }
  return names;
}

// A file larger than the child may write, listed before the item `makeNext` makes at
// `path`: the walk meets that item while a worker is still filling the file, whose
// failure comes first in walk order.
std::string makeTooLargeFileBefore(const Install& install, const std::string& path,
                                   void (*makeNext)(const std::string&)) {
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  const std::string next = std::filesystem::path(path).filename();
  // File systems list a folder by creation, either way round, or by a hash of the
  // names: names and orders are tried until the file comes first.
  for (int attempt = 0; attempt < 64; ++attempt) {
    const std::string large = "large" + std::to_string(attempt);
    if (attempt % 2 == 1) {
      makeNext(path);
    }
    makeTooLargeFile(folder / large);
    if (attempt % 2 == 0) {
      makeNext(path);
    }
    Lines order = listingOrder(folder);
    if (std::find(order.begin(), order.end(), large) < std::find(order.begin(), order.end(), next)) {
      return kCopyFailed + "File too large (writing " + install.applications + "/.X.app.<copy>" +
             (folder / large).string().substr(install.source.size()) + ")";
    }
    std::filesystem::remove(folder / large);
    std::filesystem::remove(path);
  }
  ADD_FAILURE() << "no name that " << folder << " lists before " << next;
  return "";
}

std::string makeTooLargeFileBeforeAFifoAt(const Install& install, const std::string& path) {
  return makeTooLargeFileBefore(install, path, makeFifo);
}

std::string makeTwoTooLargeFilesAt(const Install& install, const std::string& path) {
  return makeTooLargeFileBefore(install, path, makeTooLargeFile);
}

class CopyAppFirstFailure : public ::testing::TestWithParam<FirstFailureCase> {};

TEST_P(CopyAppFirstFailure, IsTheSameWhicheverWorkerMeetsWhatFirst) {
  Install install;
  makeOldBundle(install.destination);
  Lines old = snapshotTree(install.destination);
  makeNewBundle(install.source);
  addManyFiles(install.source, 240, 4096);
  for (int i = 0; i < 3; ++i) {
    writeFile(install.source + "/Contents/Resources/d" + std::to_string(i * 3) + "/large",
              std::string(2 << 20, 'l'));
  }
  addManyFiles(install.source + "/Contents/Resources/d5", 40, 4096);
  const std::string expected =
      GetParam().make(install, install.source + "/Contents/Resources/d5/Contents/Resources/d3/odd");
  if (HasFailure()) {
    return;
  }
  if (expected.empty()) {
    GTEST_SKIP() << "the power to bypass file permissions reads any file; CopyWithoutPermissionOverride runs this";
  }
  const std::regex temporary(R"(/\.X\.app\.[A-Za-z0-9]{12}/)");
  const std::string logPath = install.dir / "log";

  for (int run = 0; run < 50; ++run) {
    pid_t child = startInstall(install, logPath, [limit = GetParam().fileSizeLimit] {
      if (limit > 0) {
        rlimit size{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
        ::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &size);
      }
    }, 4);
    ChildInstall result = finishInstall(child, logPath);
    ASSERT_EQ(result.status, 1) << "run " << run;
    ASSERT_EQ(result.log.size(), 1u) << "run " << run << ": " << ::testing::PrintToString(result.log);
    ASSERT_EQ(std::regex_replace(result.log[0], temporary, "/.X.app.<copy>/"), expected) << "run " << run;
  }
  EXPECT_EQ(namesIn(install.applications), Lines{"X.app"});
  EXPECT_EQ(snapshotTree(install.destination), old);
}

INSTANTIATE_TEST_SUITE_P(
    DeepInsideManyFiles, CopyAppFirstFailure,
    ::testing::Values(FirstFailureCase{{"Fifo"}, makeFifoAt, 0},
                      FirstFailureCase{{"UnreadableFile"}, makeUnreadableFileAt, 0},
                      FirstFailureCase{{"TooLargeFileBeforeAFifo"}, makeTooLargeFileBeforeAFifoAt, kChildFileSizeLimit},
                      FirstFailureCase{{"TwoTooLargeFiles"}, makeTwoTooLargeFilesAt, kChildFileSizeLimit}),
    caseName);

// Makes a chain of `depth` folders named "d" at `top` (itself the first) with a file
// "leaf" in the deepest, and a file beside each "d", with a name of its own (padded to
// `nameLength`) and made before it or after it in turn, so that listings give either
// first.  Its paths are far longer than the
// system's limit, so it is made, and read, through descriptors.
void makeChain(const std::string& top, int depth, size_t nameLength = 0) {
  std::filesystem::create_directories(top);
  UniqueFd at(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (int level = 1; level < depth; ++level) {
    for (int step = 0; step < 2; ++step) {
      if ((step + level) % 2 == 0) {
        ASSERT_EQ(::mkdirat(at.get(), "d", 0755), 0);
      } else {
        std::string name = "f" + std::to_string(level);
        name.resize(std::max(name.size(), nameLength), 'x');
        ASSERT_EQ(::close(::openat(at.get(), name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)), 0);
      }
    }
    at.reset(::openat(at.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  UniqueFd leaf(::openat(at.get(), "leaf", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  ASSERT_EQ(::write(leaf.get(), "leaf", 4), 4);
}

// How many folders deep the chain at `top` goes, when its leaf is whole; -1 otherwise.
int chainDepth(const std::string& top) {
  UniqueFd at(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  int depth = 1;
  for (UniqueFd next; (next = UniqueFd(::openat(at.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC)));) {
    at = std::move(next);
    ++depth;
  }
  UniqueFd leaf(::openat(at.get(), "leaf", O_RDONLY | O_CLOEXEC));
  char bytes[8];
  return leaf && ::read(leaf.get(), bytes, sizeof bytes) == 4 ? depth : -1;
}

// Without /dev/fd, nothing lists the open descriptors.
enum class Limit { descriptors, descriptorsWithoutDevFd, stack };
constexpr int kNoPrivateDev = 121;

struct DeepCase : Named {
  int newDepth;  // of the bundle on the volume
  int oldDepth;  // of the copy it replaces
  Limit limit;
  rlim_t most;   // descriptors, or bytes of stack
  const char* refusal;  // what a copy that fails says first, "" for one that installs
};

class CopyAppDeepTrees : public ::testing::TestWithParam<DeepCase> {};

TEST_P(CopyAppDeepTrees, NeitherTheCopyNorTheRemovalRunsOutOrCrashes) {
  const DeepCase& c = GetParam();
  Install install;
  makeChain(install.source, c.newDepth);
  // Long names: the removal of an old copy this deep holds too much to keep every
  // level's listing, and lists the deepest ones again on the way up.
  makeChain(install.destination, c.oldDepth, 200);
  std::string logPath = install.dir / "log";

  pid_t child = startInstall(install, logPath, [&] {
    if (c.limit == Limit::descriptorsWithoutDevFd && !emptyDevInOwnNamespace()) {
      ::_exit(kNoPrivateDev);
    }
    rlimit limit{c.most, c.most};
    ::setrlimit(c.limit == Limit::stack ? RLIMIT_STACK : RLIMIT_NOFILE, &limit);
  });
  ChildInstall run = finishInstall(child, logPath);
  if (run.status == kNoPrivateDev) {
    GTEST_SKIP() << "needs root and a private mount namespace to put an empty file system on /dev";
  }

  const bool installs = std::string(c.refusal).empty();
  // A removal leaves what lies deeper than a copy may go, and says so.
  const bool leftBehind = installs && c.oldDepth > 1024;
  if (leftBehind) {
    ASSERT_EQ(run.log.size(), 3u) << ::testing::PrintToString(run.log);
    EXPECT_TRUE(run.log[2].starts_with("The replaced copy of the app could not be removed: Folders nested more than "
                                       "1024 deep are left behind (removing " + install.applications + "/.X.app."));
    run.log.pop_back();
  }
  if (installs) {
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.log, kReplaced);
  } else {
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.log.size(), 1u) << ::testing::PrintToString(run.log);
    EXPECT_TRUE(run.log[0].starts_with(kCopyFailed + c.refusal)) << run.log[0].substr(0, 300);
    EXPECT_NE(run.log[0].find("(copying " + install.source), std::string::npos) << run.log[0].substr(0, 300);
  }
  EXPECT_EQ(chainDepth(install.destination), installs ? c.newDepth : c.oldDepth);
  EXPECT_EQ(namesIn(install.applications).size(), leftBehind ? 2u : 1u);
  // Trees this deep are beyond std::filesystem's paths: the tool's own removal takes
  // them as deep as a copy may go, and rm the deeper ones.
  const bool removable = c.newDepth < 1000 && !leftBehind;
  EXPECT_EQ(bool(installer::removeItem(install.dir.path())), removable);
  if (!removable) {
    EXPECT_EQ(std::system(("rm -rf '" + install.dir.path() + "'").c_str()), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Depths, CopyAppDeepTrees,
    ::testing::Values(
        DeepCase{{"SixHundredLevelsWith256Descriptors"}, 600, 600, Limit::descriptors, 256, ""},
        DeepCase{{"FortyLevelsWith64Descriptors"}, 40, 40, Limit::descriptors, 64, ""},
        DeepCase{{"TooFewDescriptorsFailBeforeAnythingIsMade"}, 40, 3, Limit::descriptors, 16,
                 "Too few file descriptors are free to copy a bundle ("},
        DeepCase{{"FortyLevelsWith64DescriptorsAndNoDevFd"}, 40, 40, Limit::descriptorsWithoutDevFd, 64, ""},
        DeepCase{{"TooFewDescriptorsAndNoDevFdFail"}, 40, 3, Limit::descriptorsWithoutDevFd, 16,
                 "Too few file descriptors are free to copy a bundle ("},
        DeepCase{{"FiveThousandLevelsAreRefusedOnASmallStack"}, 5000, 3, Limit::stack, 1 << 20,
                 "Folders nested more than 1024 deep cannot be part of an application bundle (copying "},
        DeepCase{{"OldCopyAsDeepAsACopyMayGoGoesWith64Descriptors"}, 3, 1024, Limit::descriptors, 64, ""},
        DeepCase{{"OneLevelDeeperIsLeftBehind"}, 3, 1025, Limit::descriptors, 64, ""},
        DeepCase{{"FiveThousandLevelOldCopyIsLeftBehindOnASmallStack"}, 3, 5000, Limit::stack, 1 << 20, ""}),
    caseName);

struct ConcurrentCase : Named {
  // While the first run stands just after creating its copy: another install of the
  // same bundle runs whole, or another program takes the copy's lock.
  bool anotherProgramTakesTheLock;
};

class CopyAppConcurrently : public ::testing::TestWithParam<ConcurrentCase> {};

TEST_P(CopyAppConcurrently, NeitherRunDamagesTheOther) {
  Install install;
  makeNewBundle(install.source);
  makeOldBundle(install.destination);
  Lines old = snapshotTree(install.destination);
  std::string logPath = install.dir / "log";
  pid_t first = startInstall(install, logPath, testing_support::stopForTracer);
  if (!runUntil(first, Moment::firstFolderCreated)) {
    ::kill(first, SIGKILL);
    finishInstall(first, logPath);
    GTEST_SKIP() << "needs ptrace (Linux 5.3 or later) to stop a run just after it creates its copy";
  }
  Lines names = namesIn(install.applications);
  ASSERT_EQ(names.size(), 2u) << ::testing::PrintToString(names);
  ASSERT_TRUE(isTemporaryNameFor(names[0], "X.app")) << names[0];

  UniqueFd otherLock;
  if (GetParam().anotherProgramTakesTheLock) {
    otherLock.reset(::open((install.applications + "/" + names[0]).c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_EQ(::flock(otherLock.get(), LOCK_EX | LOCK_NB), 0);
  } else {
    EXPECT_EQ(loggedInstall(install), kReplaced);
  }
  ASSERT_TRUE(testing_support::releaseTracedChild(first));
  ChildInstall run = finishInstall(first, logPath);
  otherLock.reset();

  // A copy this run does not hold alone could be damaged under it: it makes another,
  // and leaves the first, still empty, to nobody.
  EXPECT_EQ(namesIn(install.applications), Lines{"X.app"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.log, kReplaced);
  EXPECT_EQ(snapshotTree(install.destination), snapshotTree(install.source));
}

INSTANTIATE_TEST_SUITE_P(Runs, CopyAppConcurrently,
                         ::testing::Values(ConcurrentCase{{"SecondInstallMeanwhile"}, false},
                                           ConcurrentCase{{"AnotherProgramTakesTheLock"}, true}),
                         caseName);

}  // namespace
