// The Linux hdiutil stand-in's detach verb: it removes the mount points it made and
// refuses every other path, whatever the path looks like, without touching it.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <regex>

#include "support/named_case.h"
#include "support/disk_images.h"
#include "support/tree_snapshot.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::string kRefused = "hdiutil: detach failed - No such file or directory\n";

// A small image of our own, attached in a sandbox: sandbox/volumes is the base.
struct AttachedSample {
  TempDir sandbox;
  std::string base = sandbox / "volumes";
  std::unique_ptr<AttachedImage> attached;
  std::string mountPoint;

  AttachedSample() {
    writeFile(sandbox / "content/Thing.app/Contents/Info.plist", "<plist/>");
    if (makeIsoImage(sandbox / "Thing.iso", "Thing Volume", {{"/", sandbox / "content"}})) {
      attached = std::make_unique<AttachedImage>(sandbox / "Thing.iso", base);
      mountPoint = attached->mountPoints().empty() ? "" : attached->mountPoints().front();
    }
  }
  std::string folder() const { return fs::path(mountPoint).parent_path(); }
  std::string id() const { return fs::path(folder()).filename(); }
  std::string name() const { return fs::path(mountPoint).filename(); }
  // Writes a look-alike of the volume at `at`/NAME with a marker in the stand-in's
  // format, naming that look-alike and holding `token` (the real one by default).
  std::string plantLookAlike(const std::string& at, std::string token = "") const {
    if (token.empty()) {
      token = readFile(folder() + "/.hdiutil-standin-mount").substr(0, 32);
    }
    writeFile(at + "/" + name() + "/Thing.app/Contents/precious", "keep me");
    writeFile(at + "/.hdiutil-standin-mount", token + "\n/dev/disk4\n/dev/disk4s1\n" + at + "/" + name(), 0600);
    return at + "/" + name();
  }
};

#define ATTACH_SAMPLE_OR_SKIP(sample) \
  SKIP_WITHOUT_STANDIN();             \
  AttachedSample sample;              \
  ASSERT_FALSE(sample.mountPoint.empty()) << "attaching a small ISO image failed (xorriso?)"

struct RefusedCase : Named {
  std::function<std::string(AttachedSample&)> make;  // the path to hand to detach
  bool otherBase = false;  // detach runs with a base of its own, not the sample's
};


class RefusedDetach : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedDetach, LeavesEverythingAsItWas) {
  ATTACH_SAMPLE_OR_SKIP(sample);
  std::string base = GetParam().otherBase ? sample.sandbox / "other-volumes" : sample.base;
  std::string target = GetParam().make(sample);
  std::vector<std::string> before = snapshotTree(sample.sandbox.path());

  ProgramRun run = runStandIn({"detach", "-force", target}, base);
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.standardError, kRefused);
  EXPECT_EQ(run.standardOutput, "");
  EXPECT_EQ(snapshotTree(sample.sandbox.path()), before);
  // The real mount point still detaches (and takes only what is its own).
  fs::remove(sample.folder() + "/Other Volume");
  EXPECT_EQ(sample.attached->detach(sample.mountPoint).exitStatus, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RefusedDetach,
    ::testing::Values(
        RefusedCase{{"Root"}, [](auto&) { return std::string("/"); }},
        RefusedCase{{"Relative"}, [](auto& s) { return s.mountPoint.substr(1); }},
        RefusedCase{{"WithDotDot"}, [](auto& s) { return s.folder() + "/../" + s.id() + "/" + s.name(); }},
        RefusedCase{{"LinkToTheMountPoint"},
                    [](auto& s) {
                      fs::create_symlink(s.mountPoint, s.sandbox / "link");
                      return s.sandbox / "link";
                    }},
        RefusedCase{{"PathThroughALinkToTheVolumesFolder"},
                    [](auto& s) {
                      fs::create_symlink(s.folder(), s.sandbox / "linked");
                      return s.sandbox / "linked/" + s.name();
                    }},
        RefusedCase{{"LookAlikeOutsideTheBaseWithTheRealToken"},
                    [](auto& s) { return s.plantLookAlike(s.sandbox / "elsewhere/Abc123"); }},
        RefusedCase{{"LookAlikeInTheBaseWithTheRealToken"}, [](auto& s) { return s.plantLookAlike(s.base + "/Fake02"); }},
        RefusedCase{{"MarkerNamingAnotherPath"},
                    [](auto& s) {
                      // A second folder in the real volume's own place, its marker unchanged.
                      fs::create_directory(s.folder() + "/Other Volume");
                      return s.folder() + "/Other Volume";
                    }},
        RefusedCase{{"MountPointOfAnotherBase"}, [](auto& s) { return s.mountPoint; }, true}),
    caseName);

TEST(StandInDetach, RemovesItsMountPointOnceAndLeavesTheBaseEmpty) {
  ATTACH_SAMPLE_OR_SKIP(sample);
  // Without -force, quietly, and with a trailing slash.
  std::vector<std::string> arguments = {"detach", "-quiet", sample.mountPoint + "/"};
  ProgramRun run = runStandIn(arguments, sample.base);
  EXPECT_EQ(run.exitStatus, 0) << run.standardError;
  EXPECT_TRUE(holdsNothing(sample.base));
  EXPECT_EQ(runStandIn(arguments, sample.base).standardError, kRefused);
}

// Runs a bash script as root in a private mount namespace of its own, after attaching
// the sample's image there as $mp; the script gets the stand-in as $1 and the base as $2.
ProgramRun runInPrivateNamespace(const AttachedSample& sample, const std::string& script) {
  const std::string attach = R"(
mp=$(echo YES | "$1" attach -nobrowse -plist "$3" | grep -A1 '<key>mount-point</key>' | tail -n 1 |
     sed -e 's/^[[:space:]]*<string>//' -e 's/<\/string>$//')
[ -d "$mp" ] || { echo "attach failed"; exit 90; }
)";
  return runProgram({"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/bash", "-c", attach + script,
                     "script", HDIUTIL_STANDIN_BINARY, sample.base, sample.sandbox / "Thing.iso"},
                    {"HDIUTIL_STANDIN_DIR=" + sample.base});
}

TEST(StandInDetach, NeverRemovesAcrossAFileSystemMountedInItsWay) {
  SKIP_WITHOUT_PRIVATE_NAMESPACES();
  ATTACH_SAMPLE_OR_SKIP(sample);
  writeFile(sample.sandbox / "precious/data", "keep me");
  ProgramRun inside = runInPrivateNamespace(sample, R"(
folder=$(dirname "$mp")
precious=$(dirname "$2")/precious
mkdir "$folder/intruder" && mount --bind "$precious" "$folder/intruder" || exit 92
"$1" detach -force "$mp"; echo "busy status $?"
umount "$folder/intruder" && rmdir "$folder/intruder"
"$1" detach -force "$mp"; echo "free status $?"
)");
  EXPECT_EQ(inside.exitStatus, 0) << inside.standardError;
  EXPECT_TRUE(std::regex_match(inside.standardOutput,
                               std::regex("busy status 1\n\"disk[0-9]+\" ejected\\.\nfree status 0\n")))
      << inside.standardOutput;
  EXPECT_EQ(inside.standardError, "hdiutil: detach failed - Resource busy\n");
  EXPECT_EQ(readFile(sample.sandbox / "precious/data"), "keep me");
}

}  // namespace
