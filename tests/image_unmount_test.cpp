// Detaching a volume and removing the mount record: best effort, failures logged only.
#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>

#include "image/unmount.h"
#include "support/log_capture.h"
#include "support/workspace.h"

using testing_support::capturedLog;
using testing_support::exists;
using testing_support::HdiutilHere;
using testing_support::TempDir;
using testing_support::Workspace;
using testing_support::writeFile;

namespace {

TEST(Detach, FailureNamesTheImageAsGivenNotTheMountPoint) {
  Workspace workspace;
  HdiutilHere here(workspace);
  workspace.scriptVerb("detach", "", 16, "hdiutil: detach failed - No such file or directory\n");
  auto log = capturedLog([] { installer::unmountDMG("/Volumes/My Disk", "My Disk.dmg"); });
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1], "terminationStatus : 16 output : hdiutil: detach failed - No such file or directory\n");
  EXPECT_EQ(log[2], "Error in unmount My Disk.dmg");
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
