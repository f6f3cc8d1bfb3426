// Each folder of src/ is a layer that includes only itself and the layers below it:
// selftest/ (a program of its own, beside main.cpp), main.cpp, then driver/, then
// image/ and install/ side by side, then runner/ (used by image/ only), then platform/.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>

namespace {

TEST(Layers, NoSourceFileIncludesALayerAboveItsOwn) {
  const std::map<std::string, std::set<std::string>> allowed = {
      {"selftest", {"selftest", "driver", "image", "install", "runner", "platform"}},
      {"main.cpp", {"driver", "platform"}},
      {"driver", {"driver", "image", "install", "runner", "platform"}},
      {"image", {"image", "runner", "platform"}},
      {"install", {"install", "platform"}},
      {"runner", {"runner", "platform"}},
      {"platform", {"platform"}},
  };
  const std::filesystem::path root = std::filesystem::path(PROJECT_SOURCE_DIR) / "src";
  const std::regex include(R"re(^\s*#\s*include\s*"([^"/]+)/)re");
  size_t files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) {
      continue;
    }
    std::string layer = std::filesystem::relative(entry.path(), root).begin()->string();
    ASSERT_TRUE(allowed.contains(layer)) << "a file outside every layer: " << entry.path();
    ++files;
    std::ifstream in(entry.path());
    size_t number = 0;
    for (std::string line; std::getline(in, line);) {
      ++number;
      std::smatch match;
      if (std::regex_search(line, match, include)) {
        EXPECT_TRUE(allowed.at(layer).contains(match[1].str()))
            << entry.path().string() << ":" << number << " includes " << match[1] << "/";
      }
    }
  }
  EXPECT_GT(files, 30u);
}

}  // namespace
