// Replays the fuzzer's seed corpus and every input that ever broke the mount record
// reader, under the test build's sanitizers.
#include <gtest/gtest.h>

#include <filesystem>

#include "../fuzz/record_check.h"
#include "support/files.h"

namespace {

TEST(RecordFuzzCorpus, EveryKeptInputIsHandledWithinBounds) {
  size_t replayed = 0;
  for (const char* folder : {"fuzz/corpus/record", "fuzz/crashes/record"}) {
    std::filesystem::path path = std::filesystem::path(PROJECT_SOURCE_DIR) / folder;
    if (!std::filesystem::is_directory(path)) {
      continue;
    }
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
      if (!entry.is_regular_file()) {
        continue;
      }
      EXPECT_EQ(record_check::check(testing_support::readFile(entry.path())), "") << entry.path();
      ++replayed;
    }
  }
  EXPECT_GE(replayed, 20u) << "the seed corpus is missing";
}

}  // namespace
