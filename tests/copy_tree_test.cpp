// The copy engine on real trees: what a copy keeps, what it drops, what it refuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "install/copy_tree.h"
#include "install/fill_pool.h"
#include "install/linked_files.h"
#include "platform/fs.h"
#include "platform/durability.h"
#include "platform/removal.h"
#include "platform/fd.h"
#include "support/named_case.h"
#include "support/copy_workers.h"
#include "support/item_state.h"
#include "support/private_mounts.h"
#include "support/files.h"
#include "support/tree_snapshot.h"

using installer::copyTree;
using installer::UniqueFd;
using testing_support::attributeOf;
using testing_support::namesIn;
using testing_support::readFile;
using testing_support::setAttribute;
using testing_support::setTimes;
using testing_support::snapshotTree;
using testing_support::TempDir;
using testing_support::writeFile;

using testing_support::caseName;
using testing_support::Named;

namespace {

// What copying `source` to `name` in `folder` came to: nothing, or the failure.
std::optional<std::string> copyInto(const std::string& source, const std::string& folder, const std::string& name) {
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  auto copied = copyTree(source, fd.get(), name, folder + "/" + name, {}, testing_support::copyWorkers());
  if (copied) {
    return std::nullopt;
  }
  return copied.error().description;
}

// The status of the item at `path` itself (a link is not followed); zeros when none.
struct stat statusOf(const std::string& path) {
  struct stat status {};
  ::lstat(path.c_str(), &status);
  return status;
}

mode_t modeOf(const std::string& path) { return statusOf(path).st_mode; }

// A bundle with every kind of item a copy must keep as it is.  Times are set last,
// deepest first, so that making the tree does not disturb them.
void makeRichBundle(const std::string& app) {
  writeFile(app + "/Contents/Info.plist", "<plist/>", 0644);
  writeFile(app + "/Contents/MacOS/Tool", "#!/bin/sh\n", 0755);
  writeFile(app + "/Contents/Resources/secret", "s", 0600);
  writeFile(app + "/Contents/Resources/empty", "", 0444);
  writeFile(app + "/Contents/Resources/odd mode", "m", 0571);
  // Large: a worker fills it while the walk goes on.
  std::string large(17 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < large.size(); ++i) {
    large[i] = static_cast<char>(i * 7919 % 251);
  }
  writeFile(app + "/Contents/Resources/large.bin", large, 0644);
  writeFile(app + "/Contents/Locked/inside", "read-only folder", 0644);
  writeFile(app + "/Contents/Frameworks/Kit.framework/Versions/A/Kit", "kit", 0755);
  std::filesystem::create_directory_symlink("A", app + "/Contents/Frameworks/Kit.framework/Versions/Current");
  std::filesystem::create_symlink("Versions/Current/Kit", app + "/Contents/Frameworks/Kit.framework/Kit");
  std::filesystem::create_symlink("/usr/share/absolute-target", app + "/Contents/absolute");
  std::filesystem::create_symlink("../nowhere/at/all", app + "/Contents/dangling");
  std::filesystem::create_directories(app + "/Contents/Empty");
  setAttribute(app, "user.origin", "image");
  setAttribute(app + "/Contents/Info.plist", "user.quarantine", std::string("0083;\0binary", 12));
  setAttribute(app + "/Contents/Resources", "user.hidden", "1");

  std::vector<std::string> items{app};
  for (const auto& entry : std::filesystem::recursive_directory_iterator(app)) {
    items.push_back(entry.path());
  }
  // Longest first: every item before the folder holding it.
  std::sort(items.begin(), items.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
  for (long nanos = 0; nanos < static_cast<long>(items.size()); ++nanos) {
    setTimes(items[nanos], 1500000000, 123456789, 1600000000 + nanos, 987654321 - nanos);
  }
  ::chmod((app + "/Contents/Locked").c_str(), 0555);
}

struct TreeCase : Named {
  bool sourceOnOtherFileSystem;  // in-kernel copy between file systems takes another way
};


class CopyKeeps : public ::testing::TestWithParam<TreeCase> {
protected:
  // The source goes in volume(), on a file system of its own when the case asks.
  void SetUp() override {
    std::filesystem::create_directories(volume());
    std::filesystem::create_directories(dir_ / "dest");
    if (GetParam().sourceOnOtherFileSystem) {
      SKIP_WITHOUT_OWN_MOUNTS();
      mount_.emplace("tmpfs", volume(), "size=16m");
    }
  }
  std::string volume() const { return dir_ / "volume"; }

  TempDir dir_;
  std::optional<testing_support::ScopedMount> mount_;
};

TEST_P(CopyKeeps, ContentsModesTimesLinksAndAttributes) {
  makeRichBundle(volume() + "/X.app");

  ASSERT_EQ(copyInto(volume() + "/X.app", dir_ / "dest", "X.app"), std::nullopt);

  // Access times first: taking the snapshot reads the files.
  struct stat copied {};
  ASSERT_EQ(::lstat((dir_ / "dest/X.app/Contents/Resources/secret").c_str(), &copied), 0);
  EXPECT_EQ(testing_support::accessTimeOf(copied).tv_sec, 1500000000);
  EXPECT_EQ(testing_support::accessTimeOf(copied).tv_nsec, 123456789);
  EXPECT_EQ(snapshotTree(dir_ / "dest/X.app"), snapshotTree(volume() + "/X.app", testing_support::SnapshotModes::asCopied));
  EXPECT_EQ(modeOf(dir_ / "dest/X.app/Contents/Locked") & 07777, 0555u);
}

TEST_P(CopyKeeps, HardLinksStayLinkedAndHolesStayHoles) {
  const std::string app = volume() + "/X.app";
  writeFile(app + "/Contents/MacOS/X", "linked", 0755);
  writeFile(app + "/Contents/Resources/alone", "alone");
  std::filesystem::create_hard_link(app + "/Contents/MacOS/X", app + "/Contents/Resources/X-again");
  // 1 GiB with three small islands of data, the last one at the very end.
  constexpr off_t kSize = off_t{1} << 30;
  const std::vector<std::pair<off_t, std::string>> islands = {
      {0, "head"}, {kSize / 2 + 12345, "middle"}, {kSize - 4, "tail"}};
  {
    UniqueFd sparse(::open((app + "/Contents/Resources/disk.img").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644));
    ASSERT_TRUE(sparse);
    for (const auto& [offset, bytes] : islands) {
      ASSERT_EQ(::pwrite(sparse.get(), bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
    }
  }

  ASSERT_EQ(copyInto(app, dir_ / "dest", "X.app"), std::nullopt);

  const struct stat first = statusOf(dir_ / "dest/X.app/Contents/MacOS/X");
  const struct stat second = statusOf(dir_ / "dest/X.app/Contents/Resources/X-again");
  const struct stat alone = statusOf(dir_ / "dest/X.app/Contents/Resources/alone");
  EXPECT_EQ(first.st_ino, second.st_ino) << "the hard-linked pair was copied as two files";
  EXPECT_EQ(first.st_nlink, 2u);
  EXPECT_EQ(alone.st_nlink, 1u);
  EXPECT_EQ(readFile(dir_ / "dest/X.app/Contents/Resources/X-again"), "linked");

  const std::string copiedImage = dir_ / "dest/X.app/Contents/Resources/disk.img";
  const struct stat sparse = statusOf(copiedImage);
  EXPECT_EQ(sparse.st_size, kSize);
  EXPECT_LT(sparse.st_blocks * 512, 1 << 20) << "the holes were filled in";
  UniqueFd copy(::open(copiedImage.c_str(), O_RDONLY));
  for (const auto& [offset, bytes] : islands) {
    std::string read(bytes.size(), '?');
    ASSERT_EQ(::pread(copy.get(), read.data(), read.size(), offset), static_cast<ssize_t>(read.size()));
    EXPECT_EQ(read, bytes) << "at " << offset;
  }
}

TEST(CopyTree, HardLinkedPairDeeperThanAPathCanNameStaysLinked) {
  // 300 folders of 20-byte names: paths of 6,300 bytes, beyond PATH_MAX, made and read
  // through descriptors.
  TempDir dir;
  const std::string level(20, 'l');
  auto descend = [&](const std::string& top, bool create) {
    UniqueFd at(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (int depth = 0; depth < 300 && at; ++depth) {
      if (create) {
        ::mkdirat(at.get(), level.c_str(), 0755);
      }
      at.reset(::openat(at.get(), level.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    return at;
  };
  std::filesystem::create_directories(dir / "X.app");
  {
    UniqueFd deepest = descend(dir / "X.app", true);
    ASSERT_TRUE(deepest);
    UniqueFd file(::openat(deepest.get(), "a", O_WRONLY | O_CREAT | O_EXCL, 0644));
    ASSERT_EQ(::write(file.get(), "linked", 6), 6);
    ASSERT_EQ(::linkat(deepest.get(), "a", deepest.get(), "b", 0), 0);
  }

  ASSERT_EQ(copyInto(dir / "X.app", dir.path(), "copy"), std::nullopt);

  UniqueFd deepest = descend(dir / "copy", false);
  ASSERT_TRUE(deepest);
  struct stat a {}, b {};
  ASSERT_EQ(::fstatat(deepest.get(), "a", &a, 0), 0);
  ASSERT_EQ(::fstatat(deepest.get(), "b", &b, 0), 0);
  EXPECT_EQ(a.st_ino, b.st_ino);
  EXPECT_EQ(a.st_size, 6);
  EXPECT_TRUE(installer::removeItem(dir / "X.app") && installer::removeItem(dir / "copy"));
}

TEST(LinkedFiles, MemoryStaysBoundedHoweverManyNamesNeverComeAtAnyDepth) {
  // Files whose other names lie outside the bundle are remembered to the end.
  installer::LinkedFiles linked;
  for (int depth = 0; depth < 1000; ++depth) {
    linked.enterFolder(std::string(250, 'd'));
  }
  for (ino_t inode = 1; inode <= 200000; ++inode) {
    linked.remember({1, inode}, "file-" + std::to_string(inode), 1);
  }
  EXPECT_LE(linked.bytes(), installer::LinkedFiles::kMostBytes);
  // The first ones are remembered, at their depth, and forgotten once their name came.
  auto first = linked.take({1, 1});
  ASSERT_TRUE(first);
  EXPECT_EQ(first->folders.size(), 999u);
  EXPECT_EQ(first->name, "file-1");
  EXPECT_FALSE(linked.take({1, 1}));
  EXPECT_FALSE(linked.take({1, 200000}));
  for (int depth = 0; depth < 1000; ++depth) {
    linked.leaveFolder();
  }
}

INSTANTIATE_TEST_SUITE_P(RealTrees, CopyKeeps,
                         ::testing::Values(TreeCase{{"WithinOneFileSystem"}, false},
                                           TreeCase{{"FromAnotherFileSystem"}, true}),
                         caseName);

TEST(CopyTree, DropsSetIdBitsAndWorldWriteAsRootAndGivesTheCopyToTheRunningUser) {
  TempDir dir;
  // Set-id bits go whoever installs.  Installed by root, everyone may read every item
  // and search where the owner may, and nobody else may change any.
  struct Row { const char* path; mode_t image, byUser, byRoot; };
  const Row rows[] = {{"setuid", 04755, 0755, 0755}, {"setgid", 02711, 0711, 0755},
                      {"shared/file", 0666, 0666, 0664}, {"shared", 02775, 0775, 0775},
                      {"MacOS/X", 0757, 0757, 0755}, {"MacOS", 01777, 01777, 01775},
                      {"private/secret", 0600, 0600, 0644}, {"private/tool", 0700, 0700, 0755},
                      {"private/odd", 0571, 0571, 0575}, {"private/groupRuns", 0610, 0610, 0654},
                      {"private/readable", 0604, 0604, 0644}, {"private", 0700, 0700, 0755}};
  for (const Row& row : rows) {
    const std::string path = dir / "src/" + row.path;
    std::filesystem::is_directory(path) ? void(::chmod(path.c_str(), row.image)) : writeFile(path, "r", row.image);
    ::chmod(path.c_str(), row.image);
  }
  // A change of owner drops the set-user-ID bit: it is set again after.
  const bool root = ::geteuid() == 0;
  const bool otherOwner = root && ::lchown((dir / "src/setuid").c_str(), 4321, 4321) == 0 &&
                          ::chmod((dir / "src/setuid").c_str(), 04755) == 0;

  ASSERT_EQ(copyInto(dir / "src", dir.path(), "copy"), std::nullopt);
  for (const Row& row : rows) {
    EXPECT_EQ(modeOf(dir / "copy/" + row.path) & 07777, root ? row.byRoot : row.byUser) << row.path;
  }
  if (otherOwner) {
    EXPECT_EQ(statusOf(dir / "copy/setuid").st_uid, ::geteuid());
  }
}

struct RefusedCase : Named {
  const char* where;                      // the item's path in the bundle ("" for the bundle)
  const char* refusal;                    // how the refusal names it
  void (*make)(const std::string& path);  // makes the item
};

void makeFifo(const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0); }
void makeSocket(const std::string& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  ASSERT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
}
void makeDevice(const std::string& path) {
  if (!testing_support::makeCharacterDevice(path)) {
    GTEST_SKIP() << "making a device node needs root";
  }
}
// The bundle as a link to a real bundle beside it: after the detach it would point
// nowhere, or into a folder someone else controls.
void makeBundleLink(const std::string& path) {
  writeFile(path + ".real/Contents/Info.plist", "real");
  std::filesystem::remove_all(path);
  std::filesystem::create_directory_symlink(path + ".real", path);
}


class CopyRefuses : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(CopyRefuses, WhatCannotBeABundleOrPartOfOne) {
  TempDir dir;
  writeFile(dir / "X.app/Contents/Info.plist", "x");
  std::string where = GetParam().where;
  std::string odd = where.empty() ? dir / "X.app" : dir / ("X.app/" + where);
  GetParam().make(odd);
  if (::testing::Test::IsSkipped() || ::testing::Test::HasFatalFailure()) {
    return;
  }
  auto failure = copyInto(dir / "X.app", dir.path(), "copy");
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(*failure, std::string(GetParam().refusal) + " (copying " + odd + ")");
  if (where.empty()) {
    EXPECT_FALSE(testing_support::exists(dir / "copy")) << "nothing is made for a refused bundle";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, CopyRefuses,
    ::testing::Values(
        RefusedCase{{"Fifo"}, "Contents/odd", "A FIFO (named pipe) cannot be part of an application bundle", makeFifo},
        RefusedCase{{"Socket"}, "Contents/odd", "A socket cannot be part of an application bundle", makeSocket},
        RefusedCase{{"Device"}, "Contents/odd", "A character device cannot be part of an application bundle",
                    makeDevice},
        RefusedCase{{"LinkAsTheBundle"}, "", "A symbolic link cannot be an application bundle", makeBundleLink}),
    caseName);

TEST(CopyTree, DestinationWithoutExtendedAttributesGetsTheCopyWithoutThem) {
  SKIP_WITHOUT_OWN_MOUNTS();
  TempDir dir;
  writeFile(dir / "X.app/Contents/Info.plist", "x");
  setAttribute(dir / "X.app/Contents/Info.plist", "user.quarantine", "q");
  std::filesystem::create_directories(dir / "ramfs");
  testing_support::ScopedMount plain("ramfs", dir / "ramfs");

  ASSERT_EQ(copyInto(dir / "X.app", dir / "ramfs", "X.app"), std::nullopt);
  EXPECT_EQ(readFile(dir / "ramfs/X.app/Contents/Info.plist"), "x");
  EXPECT_EQ(namesIn(dir / "ramfs"), std::vector<std::string>{"X.app"});
}

TEST(CopyTree, AttributeWithoutRoomOnTheDestinationFailsTheCopy) {
  SKIP_WITHOUT_OWN_MOUNTS();
  TempDir dir;
  writeFile(dir / "X.app/Info.plist", "x");
  setAttribute(dir / "X.app/Info.plist", "user.icon", std::string(2000, 'i'));
  std::filesystem::create_directories(dir / "small");
  // tmpfs counts extended attributes against its inode space, 1 KiB for each inode
  // it may hold: with room for four, the three items leave too little for the value.
  testing_support::ScopedMount small("tmpfs", dir / "small", "nr_inodes=4");

  EXPECT_EQ(copyInto(dir / "X.app", dir / "small", "X.app"),
            "No space left on device (writing " + (dir / "small/X.app/Info.plist") + ")");
}

TEST(CopyTree, FileWrittenToWhileItIsCopiedFailsTheCopy) {
  // Cut short or rewritten in place once the copy has opened it: copied by the
  // walk itself, or by a worker while the walk goes on.
  for (off_t size : {off_t{64 << 10}, off_t{(16 << 20) + 1}}) {
    for (bool cut : {true, false}) {
      SCOPED_TRACE(std::to_string(size) + (cut ? " bytes, cut short" : " bytes, rewritten"));
      TempDir dir;
      const std::string source = dir / "X.app";
      writeFile(source, std::string(static_cast<size_t>(size), 'x'));
      setTimes(source, 1, 0, 1, 0);
      UniqueFd folder(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      auto copied = copyTree(source, folder.get(), "copy", dir / "copy", [&](int) -> installer::Result<void> {
        UniqueFd file(::open(source.c_str(), O_WRONLY | O_CLOEXEC));
        EXPECT_EQ(cut ? ::ftruncate(file.get(), size / 2) : ::pwrite(file.get(), "y", 1, size - 1), cut ? 0 : 1);
        return {};
      }, size > (1 << 20) ? 4 : 1);
      EXPECT_EQ(copied ? "" : copied.error().description, "The file changed while it was copied (reading " + source + ")");
    }
  }
}

// With its queue full, the pool gives the walk the file back to fill itself: a small
// one whole, a large one a piece at a time (holes kept across the pieces), offered
// again after each; a failure is placed at that file's own step.  A pool without
// threads keeps its queue full.
struct GivenBackCase : Named {
  bool readable;
  bool large;  // data in its first and third piece, a hole between; else 10 bytes
};

class CopyPoolGivesBack : public ::testing::TestWithParam<GivenBackCase> {};

TEST_P(CopyPoolGivesBack, AFileAsItCameToFillAPieceAtATime) {
  using installer::FillPool;
  TempDir dir;
  const installer::CopyRules rules = installer::CopyRules::forThisProcess();
  FillPool pool(0, 2, rules, nullptr);
  installer::ItemSteps steps(rules);
  const off_t piece = std::max<off_t>(installer::writingBackPiece(), 1 << 20);
  const off_t size = GetParam().large ? 2 * piece + 10 : 10;
  std::vector<installer::FileToFill> files(3);
  for (size_t index = 0; index < files.size(); ++index) {
    installer::FileToFill& file = files[index];
    file.position = index + 1;
    file.source = dir / ("f" + std::to_string(file.position));
    file.destination = file.source + ".copy";
    writeFile(file.source, "head");
    ASSERT_EQ(::truncate(file.source.c_str(), index == 2 ? size : 8), 0);
    UniqueFd tail(::open(file.source.c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_EQ(::pwrite(tail.get(), "tail", 4, (index == 2 ? size : 8) - 4), 4);
    // Unreadable: open for writing only.
    file.from.reset(::open(file.source.c_str(), (GetParam().readable ? O_RDONLY : O_WRONLY) | O_CLOEXEC));
    file.to.reset(::open(file.destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    ::fstat(file.from.get(), &file.status);
  }
  ASSERT_EQ(pool.fill(files[0]), FillPool::Handover::taken);
  ASSERT_EQ(pool.fill(files[1]), FillPool::Handover::taken);
  installer::FileToFill& last = files[2];
  size_t turns = 0;
  FillPool::Turn turn = FillPool::Turn::unfinished;
  while (turn == FillPool::Turn::unfinished && turns < 10) {
    ASSERT_EQ(pool.fill(last), FillPool::Handover::givenBack);
    EXPECT_EQ(last.position, 3u);
    turn = pool.fillGivenBack(last, steps);
    ++turns;
  }
  if (!GetParam().readable) {
    EXPECT_EQ(turn, FillPool::Turn::failed);
    EXPECT_EQ(pool.fill(files[0]), FillPool::Handover::refused) << "the walk stops at a failure";
    std::optional<installer::PlacedFailure> failure = pool.finish();
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->position, 3u);
    EXPECT_NE(failure->error.description.find(dir / "f3)"), std::string::npos) << failure->error.description;
    return;
  }
  EXPECT_EQ(turn, FillPool::Turn::finished);
  EXPECT_EQ(turns, GetParam().large && installer::writingBackPiece() > 0 ? 2u : 1u);
  EXPECT_FALSE(last.to) << "a filled file keeps no descriptor";
  const struct stat copy = statusOf(last.destination);
  EXPECT_EQ(copy.st_size, size);
  EXPECT_LT(copy.st_blocks * 512, piece) << "the hole was filled in";
  const std::string copied = readFile(last.destination);
  EXPECT_EQ(copied.substr(0, 4) + copied.substr(static_cast<size_t>(size) - 4), "headtail");
  EXPECT_EQ(copied.find_first_not_of('\0', 4), static_cast<size_t>(size) - 4);
}

INSTANTIATE_TEST_SUITE_P(
    Files, CopyPoolGivesBack,
    ::testing::Values(GivenBackCase{{"Small"}, true, false}, GivenBackCase{{"Unreadable"}, false, false},
                      GivenBackCase{{"LargeAndSparse"}, true, true}),
    caseName);

}  // namespace
