// cmake --install puts the tool, the self-test and the manual page under the prefix,
// and the hdiutil stand-in only when asked for.
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

#include "support/log_capture.h"
#include "support/workspace.h"

using namespace testing_support;

namespace {

TEST(InstallRules, PutTheToolTheSelfTestAndTheManualPageUnderThePrefix) {
  TempDir prefix;
  std::string buildFolder = std::filesystem::path(IMAGE_INSTALLER_BINARY).parent_path().string();
  ProgramRun run = runProgram({"/usr/bin/env", "cmake", "--install", buildFolder, "--prefix", prefix.path()});
  ASSERT_EQ(run.exitStatus, 0) << run.standardOutput << run.standardError;

  for (const std::string executable : {"bin/image-installer", "bin/image-installer-selftest"}) {
    struct stat status {};
    ASSERT_EQ(::stat((prefix / executable).c_str(), &status), 0) << executable;
    EXPECT_TRUE(status.st_mode & S_IXUSR) << executable;
  }
  std::string manual = readFile(prefix / "share/man/man1/image-installer.1");
  EXPECT_EQ(manual, readFile(std::string(PROJECT_SOURCE_DIR) + "/docs/image-installer.1"));
  EXPECT_NE(manual.find(".SH EXIT STATUS"), std::string::npos);
  // The stand-in only when asked for.
  EXPECT_FALSE(exists(prefix / "bin/hdiutil"));
}

}  // namespace
