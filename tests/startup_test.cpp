// Start-up: the argument check, the arguments message and the working folder, driven
// through the built binary where the process's own location matters.
#include <gtest/gtest.h>

#include <regex>

#include "driver/startup.h"
#include "support/log_capture.h"
#include "support/workspace.h"

using installer::basePathForBundleLocation;
using testing_support::runProgram;
using testing_support::splitLogRecords;
using testing_support::Workspace;

namespace {

TEST(StartUp, ArgumentsAreCheckedThenLoggedWithTheWorkingFolder) {
  Workspace ws;  // the tool two folders below its working folder
  // A PATH holding nothing: any command the tool tried would fail loudly.
  for (const auto& argv : {std::vector<std::string>{ws.tool()}, std::vector<std::string>{ws.tool(), "only.dmg"}}) {
    auto run = runProgram(argv, {"PATH=/nonexistent"});
    EXPECT_EQ(run.exitStatus, 1);
    // One dated, named record on one line, and nothing else.
    EXPECT_TRUE(std::regex_match(
        run.standardError, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} image-installer\[\d+:\d+\] Arguments are low\n)")))
        << run.standardError;
    EXPECT_EQ(run.standardOutput, "");
  }
  // Blanks and percent signs are logged as they are; a third argument is ignored.
  auto run = runProgram({ws.tool(), "My %s Tool.dmg", "Some %n App.app", "ignored"}, {"PATH=/nonexistent"});
  auto log = splitLogRecords(run.standardError);
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[0], "Given Param_1_dmg_name -> My %s Tool.dmg\n Given Param_2_app_name -> Some %n App.app");
  EXPECT_EQ(log[1], "Base Path " + ws.work());
  EXPECT_EQ(run.standardError.find("ignored"), std::string::npos);
}

TEST(StartUp, WorkingFolderIsTwoLevelsAboveTheToolsFolder) {
  EXPECT_EQ(basePathForBundleLocation("/A/B/C"), "/A");
  EXPECT_EQ(basePathForBundleLocation("/A/B C/D/E"), "/A/B C");
  EXPECT_EQ(basePathForBundleLocation("/A/B"), "/");
  EXPECT_EQ(basePathForBundleLocation("/A"), "/");
  EXPECT_EQ(basePathForBundleLocation("/"), "/");
}

}  // namespace
