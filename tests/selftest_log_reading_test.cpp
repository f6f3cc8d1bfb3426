// The self-test reads the unified log's answer: a record the log could not show must
// read as a failure that quotes the log, never as a record not yet there.
#include <gtest/gtest.h>

#include "selftest/log_reading.h"

namespace {

using namespace installer::selftest;

TEST(SelfTestLogReading, TellsAnUnreadableRecordFromAMissingOne) {
  const ExpectedRecord record{"5eed", "record 5eed: 100% checked"};
  const std::string head = "2026-12-08 04:00:00.000000+0000 0x1f Default 0x0 4242 0 image-installer-selftest: ";
  // What `log show` printed; the verdict; the text the detail must hold.
  const struct {
    std::string output;
    std::optional<Verdict> verdict;
    std::string detail;
  } readings[] = {
      {"Timestamp Thread Type\n", std::nullopt, ""},
      {head + "[image-installer:install] record 5eed: 100% checked\n", Verdict::ok, ""},
      {head + "[image-installer:install] record 5eed: 100\n", Verdict::failed, "not whole: " + head},
      {head + "[image-installer:install] <decode: bad range>\n", Verdict::failed, "<decode: bad range>"},
      {head + "Invalid bounds 12 for 8\n", Verdict::failed, "Invalid bounds 12 for 8"},
      {head + "<compose failure [UUID]>\n", Verdict::failed, "<compose failure [UUID]>"},
      {"x\n" + head + "<private>\n", Verdict::failed, "cannot show a record of this process: " + head + "<private>"},
      // Whole wins over another record the log could not show.
      {head + "<decode: bad range>\n" + head + "record 5eed: 100% checked", Verdict::ok, ""},
  };
  for (const auto& reading : readings) {
    std::optional<Outcome> outcome = readRecord(reading.output, record);
    ASSERT_EQ(outcome.has_value(), reading.verdict.has_value()) << reading.output;
    if (outcome) {
      EXPECT_EQ(outcome->verdict, *reading.verdict) << reading.output;
      EXPECT_NE(outcome->detail.find(reading.detail), std::string::npos) << outcome->detail;
    }
  }
}

}  // namespace
