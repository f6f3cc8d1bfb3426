// The version mark that what(1) reads out of the executables.
#include <gtest/gtest.h>

#include "platform/version.h"
#include "support/files.h"

using namespace std::string_literals;
using installer::toolVersion;
using installer::versionMarkIn;

namespace {

TEST(VersionMark, IsReadAsWhatReadsIt) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"\x7f" "ELF\0\0@(#)image-installer 1.2.3\0@(#)image-installer 9"s, "1.2.3"},
      {"@(#)image-installer 1.2\"x"s, "1.2"},
      {"@(#)image-installer 1.2>x"s, "1.2"},
      {"@(#)image-installer 1.2\\x"s, "1.2"},
      {"@(#)image-installer 1.2\nx"s, "1.2"},
      {"@(#)image-installer 1.2 beta"s, "1.2 beta"},  // to the end of the bytes
      {"@(#)image-installer "s, ""},
      {"@(#)other-tool 1.2\0image-installer 1.2"s, std::nullopt},
      {""s, std::nullopt},
  };
  for (const auto& [bytes, version] : cases) {
    EXPECT_EQ(versionMarkIn(bytes), version) << testing::PrintToString(bytes);
  }
}

TEST(VersionMark, TheToolCarriesTheProjectsVersion) {
  EXPECT_EQ(toolVersion(), IMAGE_INSTALLER_PROJECT_VERSION);
  EXPECT_EQ(versionMarkIn(testing_support::readFile(IMAGE_INSTALLER_BINARY)), IMAGE_INSTALLER_PROJECT_VERSION);
}

}  // namespace
