// The mount step and the search and install sequence, in-process as main runs them
// after start-up: the scripted hdiutil first on PATH, a temporary working folder and
// destination folder, and the log compared record by record.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "driver/run.h"
#include "driver/attach.h"
#include "driver/install.h"
#include "driver/search.h"
#include "image/mount.h"
#include "image/unmount.h"
#include "platform/log.h"
#include "support/named_case.h"
#include "support/item_state.h"
#include "support/log_capture.h"
#include "support/record.h"
#include "support/tree_snapshot.h"
#include "support/workspace.h"

namespace fs = std::filesystem;
using installer::listingText;
using installer::sameBundleName;
using testing_support::exists;
using testing_support::hdiutilRecord;
using testing_support::logHas;
using testing_support::snapshotTree;
using testing_support::writeFile;
using Records = std::vector<std::string>;
using MountPoints = std::vector<std::optional<std::string>>;

using testing_support::caseName;
using testing_support::Named;

namespace {

const std::string kNotFound = "Given app Sample.app not found in mounted volume's plist, hence installation failed!!!!!";

Records joined(std::initializer_list<Records> parts) {
  Records all;
  for (const auto& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

Records detachRecords(const std::string& mountPoint) {
  return {"Given Command /bin/bash " + installer::detachCommandLine(mountPoint), "terminationStatus : 0 output : "};
}

class Sequence : public ::testing::Test {
protected:
  void SetUp() override { ws_.scriptVerb("detach", ""); }

  std::string volume(const std::string& name) {
    std::string path = ws_.root() + "/volumes/" + name;
    fs::create_directories(path);
    return path;
  }

  // A small bundle: a property list, an executable, a resource, a relative link.
  std::string bundle(const std::string& volumePath, const std::string& name) {
    std::string path = volumePath + "/" + name;
    writeFile(path + "/Contents/Info.plist", "<plist><dict/></plist>\n");
    writeFile(path + "/Contents/MacOS/Sample", "#!/bin/sh\necho sample\n", 0755);
    writeFile(path + "/Contents/Resources/readme.txt", "hello\n", 0444);
    fs::create_directory_symlink("MacOS", path + "/Contents/Current");
    return path;
  }

  void attachWith(const MountPoints& mountPoints) { ws_.scriptVerb("attach", hdiutilRecord(mountPoints)); }

  // A run for `image` and `bundleName` after start-up.
  installer::Run runFor(const std::string& image, const std::string& bundleName) const {
    installer::Run run;
    run.arguments = {"image-installer", image, bundleName};
    run.destinationFolder = ws_.applications() + "/";
    run.basePath = ws_.work();
    return run;
  }

  // The steps after start-up, as main takes them.
  static int runSteps(installer::Run& run) {
    if (std::optional<int> ended = installer::attachImage(run)) {
      return *ended;
    }
    installer::SearchOutcome search = installer::searchVolumes(run);
    if (!search.found) {
      return search.exitStatus;
    }
    const bool copied = installer::installBundle(run, *search.found);
    installer::cleanUp(run, *search.found);
    return copied ? installer::unhideInstalledBundle(run) : 1;
  }

  // The steps after start-up for `image` and `bundleName`.
  Records install(const std::string& image, const std::string& bundleName, int expectedStatus) {
    installer::Run run = runFor(image, bundleName);
    int status = -1;
    Records log = testing_support::capturedLog([&] { status = runSteps(run); });
    EXPECT_EQ(status, expectedStatus) << ::testing::PrintToString(log);
    return log;
  }

  // The records of a mount step that finds `entities` entities.
  Records opening(const std::string& image, size_t entities) {
    std::string line = installer::mountCommandLine(ws_.work(), image);
    return {"Mount cmd ->" + line, "Given Command /bin/bash " + line, "terminationStatus : 0 output : ",
            "Array count in systemEntities " + std::to_string(entities)};
  }

  // The records of a volume at `mountPoint` holding only `onVolume`, copied as `name`.
  Records found(const std::string& mountPoint, const std::string& onVolume, const std::string& name) {
    return {"mount-point : " + mountPoint, "Files list in the volume : " + listingText({onVolume}) + "\n files count 1",
            "Copying from appPath : " + mountPoint + "/" + onVolume + " destinationPath : " + installed(name)};
  }

  std::vector<std::string> detachedMountPoints() const {
    std::vector<std::string> detached;
    for (const auto& call : ws_.hdiutilCalls()) {
      if (!call.empty() && call[0] == "detach") {
        EXPECT_EQ(call.size(), 3u);
        EXPECT_EQ(call[1], "-force");
        detached.push_back(call.back());
      }
    }
    return detached;
  }

  bool recordLeft() const { return exists(ws_.work() + "/qzmount.plist"); }
  std::string installed(const std::string& name) const { return ws_.applications() + "/" + name; }

  testing_support::Workspace ws_;
  testing_support::HdiutilHere here_{ws_};
};

TEST_F(Sequence, OnMacOS27TheAttachWarnsAndAFailedDetachEjectsTheImagesDevice) {
  // hdiutil's deprecation warning goes to standard error: the record stays whole, the
  // warning reaches the log as the command's output.  Its detach fails, busy, while
  // diskutil ejects the image's whole device.
  std::string mp = volume("Sample");
  std::string source = bundle(mp, "Sample.app");
  const std::string warning = "hdiutil: attach: WARNING: hdiutil attach is deprecated and will be removed in a "
                              "future release. Use \"diskutil image attach\" instead.\n";
  const std::string busy = "hdiutil: couldn't eject \"disk4\" - Resource busy\n";
  ws_.scriptVerb("attach", hdiutilRecord({std::nullopt, mp}), 0, warning);
  ws_.scriptVerb("detach", "", 16, busy);
  ws_.scriptVerb("eject", "Disk /dev/disk4 ejected\n");

  Records log = install("Sample.dmg", "Sample.app", 0);

  Records opened = opening("Sample.dmg", 2);
  opened[2] += warning;
  EXPECT_EQ(log, joined({opened, found(mp, "Sample.app", "Sample.app"),
                         {"App Copied successfully", "Given Command /bin/bash " + installer::detachCommandLine(mp),
                          "terminationStatus : 16 output : " + busy, "Error in unmount Sample.dmg",
                          "Given Command /bin/bash diskutil eject \"/dev/disk4\"",
                          "terminationStatus : 0 output : Disk /dev/disk4 ejected\n",
                          "Ejected /dev/disk4 with diskutil"}}));
  EXPECT_EQ(snapshotTree(installed("Sample.app")), snapshotTree(source));
  EXPECT_FALSE(recordLeft());
}

// A search that ends without a copy: its records after the mount step, the volume it
// detaches; the record is always removed and nothing is installed.
struct FailedSearch : Named {
  MountPoints mountPoints;                           // "@" stands for the volume V
  std::optional<std::vector<std::string>> onVolume;  // V's entries; nothing: no V at all
  Records ending;                                    // "@" stands for V; "detach" for its detach
};


class SequenceFails : public Sequence, public ::testing::WithParamInterface<FailedSearch> {};

TEST_P(SequenceFails, RemovesTheRecordAndInstallsNothing) {
  const FailedSearch& c = GetParam();
  const std::string mp = ws_.root() + "/volumes/V";
  auto atV = [&](std::string text) {
    for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + mp.size())) {
      text.replace(at, 1, mp);
    }
    return text;
  };
  MountPoints points;
  for (const auto& point : c.mountPoints) {
    points.push_back(point ? std::optional(atV(*point)) : std::nullopt);
  }
  if (c.onVolume) {
    fs::create_directories(mp);
    for (const auto& name : *c.onVolume) {
      writeFile(mp + "/" + name + "/Contents/Info.plist", "x");
    }
  }
  attachWith(points);
  Records expected = opening("Sample.dmg", points.size());
  for (const auto& record : c.ending) {
    expected = record == "detach" ? joined({expected, detachRecords(mp)}) : joined({expected, {atV(record)}});
  }

  Records log = install("Sample.dmg", "Sample.app", 1);

  EXPECT_EQ(log, expected);
  EXPECT_FALSE(recordLeft());
  EXPECT_EQ(detachedMountPoints(), logHas(c.ending, "detach") ? Records{mp} : Records{});
  EXPECT_TRUE(fs::is_empty(ws_.applications()));
}

using Names = std::vector<std::string>;
INSTANTIATE_TEST_SUITE_P(
    Rows, SequenceFails,
    ::testing::Values(
        FailedSearch{{"ListingFails"}, {std::nullopt, "@"}, std::nullopt,
                     {"mount-point : @", "PropertyListSerialization Failed!!!!! or not able to get contents of "
                                         "directory No such file or directory (listing @)"}},
        FailedSearch{{"EmptyVolume"}, {"@"}, Names{},
                     {"mount-point : @", "Files list in the volume : []\n files count 0",
                      "Files not found in mounted volume, hence installation failed!!!!!", "detach"}},
        FailedSearch{{"BundleNotOnTheVolume"}, {std::nullopt, "@"}, Names{"Other.app"},
                     {"mount-point : @", "Files list in the volume : [\"Other.app\"]\n files count 1", kNotFound,
                      "detach"}},
        FailedSearch{{"NameDifferingOnlyInCase"}, {"@"}, Names{"sample.app"},
                     {"mount-point : @", "Files list in the volume : [\"sample.app\"]\n files count 1", kNotFound,
                      "detach"}},
        FailedSearch{{"EmptyMountPoint"}, {std::nullopt, ""}, std::nullopt,
                     {"mount-point : ", "mount-point not found in mounted volume's plist, hence installation failed!!!!!"}},
        FailedSearch{{"NoEntityWithAMountPoint"}, {std::nullopt, std::nullopt}, std::nullopt,
                     {"mount-point key not found in mounted volume's plist, hence installation failed!!!!!"}}),
    caseName);

TEST_F(Sequence, FlagThatCannotBeReadFailsTheRunAfterTheCleanUp) {
  std::string mp = volume("Sample");
  bundle(mp, "Sample.app");
  attachWith({mp});
  ws_.scriptVerbAction("detach", "rm -rf '" + installed("Sample.app") + "'");

  Records log = install("Sample.dmg", "Sample.app", 1);

  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(Records(log.end() - 4, log.end()),
            joined({detachRecords(mp),
                    {" checkAndUnhideApp : Getting/Setting App attributes Failed!!!!! No such file or directory "
                     "(reading the hidden flag of " + installed("Sample.app") + ")",
                     // The record went before the detach; looking for it again says so.
                     "Error in deleting the plist"}}));
}

TEST_F(Sequence, SecondVolumeHoldsTheBundleAfterTheFirstIsDetached) {
  std::string first = volume("First");
  bundle(first, "Other.app");
  std::string second = volume("Second");
  std::string source = bundle(second, "Sample.app");
  std::string third = volume("Third");
  attachWith({std::nullopt, first, std::nullopt, second, third});

  Records log = install("Sample.dmg", "Sample.app", 0);

  EXPECT_EQ(log, joined({opening("Sample.dmg", 5),
                         {"mount-point : " + first, "Files list in the volume : [\"Other.app\"]\n files count 1",
                          kNotFound},
                         detachRecords(first), found(second, "Sample.app", "Sample.app"), {"App Copied successfully"},
                         detachRecords(second)}));
  // The volume after the one installed from is never visited.
  EXPECT_EQ(detachedMountPoints(), (Records{first, second}));
  EXPECT_EQ(snapshotTree(installed("Sample.app")), snapshotTree(source));
}

TEST_F(Sequence, InstallsFromTheVolumeThenRemovesTheRecordThenDetachesWhateverTheNames) {
  struct Case {
    const char* what;
    std::string image, asked, onVolume, volumeName;
    bool trailingSlash;
  };
  for (const Case& c : std::vector<Case>{
           {"blanks in the image name", "My Disk Image.dmg", "Sample.app", "Sample.app", "Sample", false},
           {"composed name finds the decomposed bundle, installed under the name asked for", "Cafe.dmg",
            "Caf\xC3\xA9.app", "Cafe\xCC\x81.app", "Cafe", false},
           {"mount point ending in a slash", "Sample.dmg", "Sample.app", "Sample.app", "Slash", true},
           {"blanks, quotes, percent and dollar signs", "My \"Disk\" 100%s.dmg", "It's \"100%n\" $HOME.app",
            "It's \"100%n\" $HOME.app", "Vol \"Q\" 5%d", false},
       }) {
    SCOPED_TRACE(c.what);
    std::string mp = volume(c.volumeName) + (c.trailingSlash ? "/" : "");
    std::string source = bundle(mp, c.onVolume);
    attachWith({std::nullopt, mp});
    // The detach notes whether the record is still there when it runs.
    ws_.scriptVerbAction("detach", "[ -e '" + ws_.work() + "/qzmount.plist' ] && echo present > '" + ws_.root() +
                                       "/record-at-detach'; true");
    here_.forgetCalls();

    Records log = install(c.image, c.asked, 0);

    EXPECT_EQ(log, joined({opening(c.image, 2), found(mp, c.onVolume, c.asked), {"App Copied successfully"},
                           detachRecords(mp)}));
    ASSERT_EQ(ws_.hdiutilCalls().size(), 2u);
    EXPECT_EQ(ws_.hdiutilCalls()[0], (Records{"attach", "-nobrowse", "-plist", ws_.work() + "/" + c.image}));
    EXPECT_EQ(detachedMountPoints(), Records{mp});
    EXPECT_EQ(snapshotTree(installed(c.asked)), snapshotTree(source));
    EXPECT_FALSE(recordLeft());
    EXPECT_FALSE(exists(ws_.root() + "/record-at-detach")) << "the record must be gone before the detach";
    fs::remove_all(installed(c.asked));
  }
}

TEST_F(Sequence, NamesFromTheImageCannotForgeRecords) {
  const std::string forged = "\n2026-01-01 00:00:00.000 image-installer[1:1] App Copied successfully";
  std::string mp = volume("Vol" + forged);
  std::string source = bundle(mp, "Sample.app");
  ASSERT_EQ(::mkfifo((source + "/Contents/pipe" + forged).c_str(), 0644), 0);
  attachWith({mp});

  Records log = install("Sample.dmg", "Sample.app", 1);

  // Every message is the tool's own, each name inside its message.
  EXPECT_EQ(log.size(), 10u) << ::testing::PrintToString(log);
  EXPECT_FALSE(logHas(log, "App Copied successfully"));
  EXPECT_EQ(log[4], "mount-point : " + installer::printable(mp));
  EXPECT_EQ(log[7], "App Copied Failed!!!!!!!!!!! A FIFO (named pipe) cannot be part of an application bundle "
                    "(copying " + installer::printable(source + "/Contents/pipe" + forged) + ")");
}

TEST_F(Sequence, MountPointHoldingANulIsNoUsableMountPoint) {
  // It would be logged as the whole and used as the part before the NUL.
  std::string mp = volume("Sample");
  bundle(mp, "Sample.app");
  installer::Run run = runFor("Sample.dmg", "Sample.app");
  run.systemEntities = {{mp + std::string("\0/elsewhere", 11), std::nullopt}};

  int status = -1;
  Records log = testing_support::capturedLog([&] { status = installer::searchVolumes(run).exitStatus; });

  EXPECT_EQ(status, 1);
  EXPECT_EQ(log, (Records{"mount-point : " + mp + "\\0/elsewhere",
                          "mount-point not found in mounted volume's plist, hence installation failed!!!!!",
                          "Error in deleting the plist"}));
  EXPECT_TRUE(ws_.hdiutilCalls().empty());
  EXPECT_TRUE(fs::is_empty(ws_.applications()));
}

TEST(BundleName, CanonicallyEquivalentNamesMatchAndNothingElse) {
  const std::string composed = "Caf\xC3\xA9.app";     // é as one code point
  const std::string decomposed = "Cafe\xCC\x81.app";  // e + combining acute
  struct Case {
    std::string onVolume, asked;
    bool same;
  } cases[] = {
      {"Sample.app", "Sample.app", true}, {decomposed, composed, true}, {composed, decomposed, true},
      // Letter case matters; nothing is trimmed.
      {"sample.app", "Sample.app", false}, {"Sample.app ", "Sample.app", false}, {" Sample.app", "Sample.app", false},
      {"Sample", "Sample.app", false},
      // Not UTF-8: byte for byte.  A ligature is only compatibility-equal.
      {"\xFF" "Bad.app", "\xFF" "Bad.app", true}, {"\xFF" "Bad.app", "\xFE" "Bad.app", false},
      {"\xEF\xAC\x81le.app", "file.app", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sameBundleName(c.onVolume, c.asked), c.same) << c.onVolume << " vs " << c.asked;
  }
}

TEST(ListingText, ReadsLikeAListOfStrings) {
  EXPECT_EQ(listingText({}), "[]");
  EXPECT_EQ(listingText({".DS_Store", "My App.app", "100% \"real\"", "back\\slash"}),
            R"([".DS_Store", "My App.app", "100% \"real\"", "back\\slash"])");
  EXPECT_EQ(listingText({"line\nbreak", "tab\there", "bell\x07", std::string("nul\0", 4)}),
            R"(["line\nbreak", "tab\there", "bell\u{7}", "nul\0"])");
  EXPECT_EQ(listingText({"caf\xC3\xA9", "bad\xFF"}), "[\"caf\xC3\xA9\", \"bad\xEF\xBF\xBD\"]");
}

}  // namespace
