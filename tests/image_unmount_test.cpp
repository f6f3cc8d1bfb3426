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

TEST(Detach, FailureNamesTheImageThenEjectsTheWholeDeviceOrElseTheMountPoint) {
  using Records = std::vector<std::string>;
  struct Case {
    std::string device;  // the image's whole device in the record, "" for none
    int ejectStatus;
    Records ending;      // after the detach's records and its failure
  };
  const std::string busy = "hdiutil: couldn't eject \"disk4\" - Resource busy\n";
  for (const Case& c : std::vector<Case>{
           {"/dev/disk4", 0,
            {"Given Command /bin/bash diskutil eject \"/dev/disk4\"", "terminationStatus : 0 output : ejected\n",
             "Ejected /dev/disk4 with diskutil"}},
           {"", 1,
            {"Given Command /bin/bash diskutil eject \"/Volumes/My Disk\"", "terminationStatus : 1 output : ejected\n",
             "Error in eject /Volumes/My Disk"}},
       }) {
    SCOPED_TRACE(c.device);
    Workspace workspace;
    HdiutilHere here(workspace);
    workspace.scriptVerb("detach", "", 16, busy);
    workspace.scriptVerb("eject", "ejected\n", c.ejectStatus);
    auto log = capturedLog([&] { installer::unmountDMG("/Volumes/My Disk", "My Disk.dmg", c.device, installer::kDetachLimit); });
    Records expected = {"Given Command /bin/bash hdiutil detach -force \"/Volumes/My Disk\"",
                        "terminationStatus : 16 output : " + busy, "Error in unmount My Disk.dmg"};
    expected.insert(expected.end(), c.ending.begin(), c.ending.end());
    EXPECT_EQ(log, expected);
    EXPECT_EQ(workspace.hdiutilCalls(),
              (std::vector<Records>{{"detach", "-force", "/Volumes/My Disk"},
                                    {"eject", c.device.empty() ? "/Volumes/My Disk" : c.device}}));
  }
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
