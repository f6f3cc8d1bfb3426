// The pieces of the search that are plain logic: name equality and the listing's text.
#include <gtest/gtest.h>

#include "driver/sequence.h"

using installer::listingText;
using installer::sameBundleName;

namespace {

TEST(BundleName, CanonicallyEquivalentNamesMatchAndNothingElse) {
  const std::string composed = "Caf\xC3\xA9.app";     // é as one code point
  const std::string decomposed = "Cafe\xCC\x81.app";  // e + combining acute
  struct Case {
    std::string onVolume, asked;
    bool same;
  } cases[] = {
      {"Sample.app", "Sample.app", true},
      {decomposed, composed, true},
      {composed, decomposed, true},
      {"sample.app", "Sample.app", false},     // letter case matters
      {"Sample.app ", "Sample.app", false},    // nothing is trimmed
      {" Sample.app", "Sample.app", false},
      {"Sample", "Sample.app", false},
      {"\xFF" "Bad.app", "\xFF" "Bad.app", true},  // not UTF-8: byte for byte
      {"\xFF" "Bad.app", "\xFE" "Bad.app", false},
      {"\xEF\xAC\x81le.app", "file.app", false},  // a ligature is only compatibility-equal
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sameBundleName(c.onVolume, c.asked), c.same) << c.onVolume << " vs " << c.asked;
  }
}

TEST(ListingText, ReadsLikeAListOfStrings) {
  EXPECT_EQ(listingText({}), "[]");
  EXPECT_EQ(listingText({"Sample.app"}), R"(["Sample.app"])");
  EXPECT_EQ(listingText({".DS_Store", "My App.app", "100% \"real\"", "back\\slash"}),
            R"([".DS_Store", "My App.app", "100% \"real\"", "back\\slash"])");
  EXPECT_EQ(listingText({"line\nbreak", "tab\there", "bell\x07", std::string("nul\0", 4)}),
            R"(["line\nbreak", "tab\there", "bell\u{7}", "nul\0"])");
  EXPECT_EQ(listingText({"caf\xC3\xA9", "bad\xFF"}), "[\"caf\xC3\xA9\", \"bad\xEF\xBF\xBD\"]");
}

}  // namespace
