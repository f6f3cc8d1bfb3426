// cmake --install puts the tool, its manual page and, on Linux, the hdiutil
// stand-in under the prefix.
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

#include "support/log_capture.h"
#include "support/workspace.h"

using namespace testing_support;

namespace {

TEST(InstallRules, PutTheToolTheStandInAndTheManualPageUnderThePrefix) {
  TempDir prefix;
  std::string buildFolder = std::filesystem::path(IMAGE_INSTALLER_BINARY).parent_path().string();
  ProgramRun run = runProgram({"/usr/bin/env", "cmake", "--install", buildFolder, "--prefix", prefix.path()});
  ASSERT_EQ(run.exitStatus, 0) << run.standardOutput << run.standardError;

  std::vector<std::string> executables = {"bin/image-installer"};
#ifdef HDIUTIL_STANDIN_BINARY
  executables.push_back("bin/hdiutil");
#endif
  for (const auto& executable : executables) {
    struct stat status {};
    ASSERT_EQ(::stat((prefix / executable).c_str(), &status), 0) << executable;
    EXPECT_TRUE(status.st_mode & S_IXUSR) << executable;
  }
  std::string manual = readFile(prefix / "share/man/man1/image-installer.1");
  EXPECT_EQ(manual, readFile(std::string(PROJECT_SOURCE_DIR) + "/docs/image-installer.1"));
  EXPECT_NE(manual.find(".SH EXIT STATUS"), std::string::npos);
}

}  // namespace
