// The self-test's verdicts.  It says "ok" for a copy only when its comparison finds
// nothing: a comparison that misses a fault would pass a broken copy on every Mac.
// Each row plants one fault in a good copy of the self-test's sample bundle and
// expects the comparison to name it under its aspect.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>

#include "install/replace_item.h"
#include "selftest/feature_bundle.h"
#include "selftest/item_state.h"
#include "selftest/log_reading.h"
#include "selftest/tree_compare.h"
#include "support/files.h"
#include "support/named_case.h"

namespace {

using namespace installer;
using namespace installer::selftest;

struct Fault : testing_support::Named {
  Aspect aspect;
  // Plants the fault in the copy at the given path.
  std::function<void(const std::string&)> plant;
};

void run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

const Fault kFaults[] = {
    {{"AByteOfData"}, Aspect::items,
     [](const std::string& copy) {
       int fd = ::open((copy + "/Contents/Info.plist").c_str(), O_WRONLY);
       ASSERT_EQ(::pwrite(fd, "#", 1, 100), 1);
       ::close(fd);
     }},
    {{"AnItemMore"}, Aspect::items,
     [](const std::string& copy) { testing_support::writeFile(copy + "/Contents/extra", "x"); }},
    {{"AnItemLess"}, Aspect::items,
     [](const std::string& copy) { ASSERT_EQ(::unlink((copy + "/Contents/PkgInfo").c_str()), 0); }},
    {{"AMode"}, Aspect::modes,
     [](const std::string& copy) { ASSERT_EQ(::chmod((copy + "/Contents/Resources/others-read").c_str(), 0600), 0); }},
    {{"ASetUserIdBitKept"}, Aspect::modes,
     [](const std::string& copy) { ASSERT_EQ(::chmod((copy + "/Contents/MacOS/helper-setuid").c_str(), 04755), 0); }},
    {{"ANanosecond"}, Aspect::times,
     [](const std::string& copy) {
       std::string path = copy + "/Contents/PkgInfo";
       struct stat status {};
       ASSERT_EQ(::lstat(path.c_str(), &status), 0);
       timespec times[2] = {accessTimeOf(status), modificationTimeOf(status)};
       times[1].tv_nsec = (times[1].tv_nsec + 1) % 1000000000;
       ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
     }},
    {{"ALinksTarget"}, Aspect::links,
     [](const std::string& copy) {
       std::string path = copy + "/Contents/Frameworks/Kit.framework/Versions/Current";
       ASSERT_EQ(::unlink(path.c_str()), 0);
       ASSERT_EQ(::symlink("B", path.c_str()), 0);
     }},
    {{"AHardLinkBroken"}, Aspect::hardLinks,
     [](const std::string& copy) {
       std::string path = copy + "/Contents/MacOS/shared-link.dat";
       run("cp -p '" + path + "' '" + path + ".new' && mv '" + path + ".new' '" + path + "'");
     }},
    {{"HolesFilled"}, Aspect::holes,
     [](const std::string& copy) {
       std::string path = copy + "/Contents/Resources/sparse.bin";
       run("cat '" + path + "' >'" + path + ".new' && touch -r '" + path + "' '" + path + ".new' && mv '" + path +
           ".new' '" + path + "'");
     }},
    {{"AnAttributesValue"}, Aspect::attributes,
     [](const std::string& copy) {
       ASSERT_TRUE(setAttribute(copy + "/Contents/Resources", "user.selftest.folder", "changed").ok());
     }},
    {{"TheHiddenFlag"}, Aspect::hidden,
     [](const std::string& copy) { ASSERT_TRUE(setHiddenFlag(copy + "/Contents/PkgInfo").ok()); }},
};

class SelfTestComparison : public ::testing::TestWithParam<Fault> {
protected:
  // A good copy of the sample bundle, and what the comparison says of it.
  std::vector<Difference> copyAndCompare(const std::function<void(const std::string&)>& plant = {}) {
    const std::string source = dir_ / "Feature.app";
    const std::string copy = dir_ / "Copy.app";
    Result<TreeSnapshot> before = snapshotTree(source);
    EXPECT_TRUE(before.ok() && restat(*before, source).ok());
    Result<Replacement> copied = replaceWithCopy(source, copy);
    EXPECT_TRUE(copied.ok()) << copied.error().description;
    if (plant) {
      plant(copy);
    }
    Result<TreeSnapshot> after = snapshotTree(copy);
    EXPECT_TRUE(after.ok()) << after.error().description;
    return compareTrees(*before, source, *after, copy, {::geteuid() == 0});
  }

  void SetUp() override {
    Result<FeatureBundle> made = makeFeatureBundle(dir_ / "Feature.app");
    ASSERT_TRUE(made.ok()) << made.error().description;
    bundle_ = *made;
  }

  testing_support::TempDir dir_;
  FeatureBundle bundle_;
};

TEST_F(SelfTestComparison, FindsNothingInAGoodCopy) {
  for (const Difference& difference : copyAndCompare()) {
    ADD_FAILURE() << aspectName(difference.aspect) << ": " << difference.text;
  }
}

TEST_P(SelfTestComparison, NamesAPlantedFault) {
  const Fault& fault = GetParam();
  if (auto reason = bundle_.cannotHold.find(fault.aspect); reason != bundle_.cannotHold.end()) {
    GTEST_SKIP() << reason->second;
  }
  std::vector<Difference> differences = copyAndCompare(fault.plant);
  bool named = std::ranges::any_of(differences, [&](const Difference& d) { return d.aspect == fault.aspect; });
  EXPECT_TRUE(named) << fault.name << " went unnoticed under " << aspectName(fault.aspect) << " ("
                     << differences.size() << " other differences)";
}

INSTANTIATE_TEST_SUITE_P(Faults, SelfTestComparison, ::testing::ValuesIn(kFaults), testing_support::caseName);

// The self-test reads the unified log's answer: a record the log could not show must
// read as a failure that quotes the log, never as a record not yet there.
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
