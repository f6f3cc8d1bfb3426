// The installed bundle's hidden flag, on real folders: on Linux the extended
// attribute user.hidden holding "1", on macOS the file flag UF_HIDDEN.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "install/unhide.h"
#include "support/named_case.h"
#include "support/files.h"
#include "support/item_state.h"
#include "support/log_capture.h"
#include "support/private_mounts.h"
#include "support/tree_snapshot.h"

using installer::checkAndUnhideApp;
using testing_support::attributeOf;
using testing_support::capturedLog;
using testing_support::hideItem;
using testing_support::itemHidden;
using testing_support::setAttribute;
using testing_support::TempDir;
using testing_support::writeFile;

using testing_support::caseName;
using testing_support::Named;

namespace {

using Lines = std::vector<std::string>;

const std::string kFailed = " checkAndUnhideApp : Getting/Setting App attributes Failed!!!!! ";
const std::string kUnhid = "App is hidden, Hence Unhid app";

struct FlagCase : Named {
  const char* value;  // nullptr: no attribute at all
  bool hidden;
};


class HiddenFlag : public ::testing::TestWithParam<FlagCase> {};

TEST_P(HiddenFlag, IsClearedOnlyWhenSet) {
  if (!testing_support::kHiddenFlagIsAnAttribute) {
    GTEST_SKIP() << "the values of user.hidden matter on Linux only; macOS keeps the flag as UF_HIDDEN";
  }
  TempDir dir;
  std::string app = dir / "X.app";
  writeFile(app + "/Contents/Info.plist", "x");
  if (GetParam().value != nullptr) {
    setAttribute(app, "user.hidden", GetParam().value);
  }
  struct stat before {};
  ::lstat(app.c_str(), &before);

  bool result = false;
  auto log = capturedLog([&] { result = checkAndUnhideApp(app); });

  EXPECT_TRUE(result);
  if (GetParam().hidden) {
    EXPECT_EQ(log, Lines{kUnhid});
    EXPECT_EQ(attributeOf(app, "user.hidden"), "<none>");
  } else {
    // Visible: nothing said and nothing written, whatever value stood there.
    EXPECT_EQ(log, Lines{});
    EXPECT_EQ(attributeOf(app, "user.hidden"), GetParam().value != nullptr ? GetParam().value : "<none>");
    struct stat after {};
    ::lstat(app.c_str(), &after);
    EXPECT_EQ(testing_support::changeTimeOf(after).tv_nsec, testing_support::changeTimeOf(before).tv_nsec);
  }
}

INSTANTIATE_TEST_SUITE_P(Values, HiddenFlag,
                         ::testing::Values(FlagCase{{"NoAttribute"}, nullptr, false}, FlagCase{{"Zero"}, "0", false},
                                           FlagCase{{"Empty"}, "", false}, FlagCase{{"Eleven"}, "11", false},
                                           FlagCase{{"Yes"}, "yes", false}, FlagCase{{"One"}, "1", true}),
                         caseName);

TEST(Unhide, OnlyTheBundleItselfAndOnlyItsOwnFlag) {
  // Where the bundle is; whether it is reported hidden, and unhidden; and the item
  // that keeps its flag: a hidden folder inside, or a link's hidden target.
  struct Case {
    const char* what;
    std::string bundle;
    bool unhidden;
    std::string stillHidden;
  };
  TempDir dir;
  writeFile(dir / "X.app/Contents/Resources/Hidden/file", "x");
  hideItem(dir / "X.app");
  hideItem(dir / "X.app/Contents/Resources/Hidden");
  writeFile(dir / "target/X.app/Contents/Info.plist", "x");
  hideItem(dir / "target/X.app");
  std::filesystem::create_directory_symlink(dir / "target/X.app", dir / "Link.app");
  for (const Case& c : {Case{"a hidden bundle", dir / "X.app", true, dir / "X.app/Contents/Resources/Hidden"},
                        Case{"a link to one", dir / "Link.app", false, dir / "target/X.app"}}) {
    auto log = capturedLog([&] { EXPECT_TRUE(checkAndUnhideApp(c.bundle)) << c.what; });
    EXPECT_EQ(log, c.unhidden ? Lines{kUnhid} : Lines{}) << c.what;
    EXPECT_FALSE(itemHidden(c.bundle)) << c.what;
    EXPECT_TRUE(itemHidden(c.stillHidden)) << c.what;
  }
}

TEST(Unhide, FileSystemWithoutExtendedAttributesReadsAsVisible) {
  SKIP_WITHOUT_OWN_MOUNTS();
  TempDir dir;
  std::filesystem::create_directories(dir / "ramfs");
  testing_support::ScopedMount plain("ramfs", dir / "ramfs");
  writeFile(dir / "ramfs/X.app/Contents/Info.plist", "x");

  auto log = capturedLog([&] { EXPECT_TRUE(checkAndUnhideApp(dir / "ramfs/X.app")); });
  EXPECT_EQ(log, Lines{});
}

}  // namespace
