// The Linux hdiutil stand-in's detach verb: it removes the mount points it made and
// refuses every other path, whatever the path looks like, without touching it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>

#include "platform/fs.h"
#include "support/disk_images.h"

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
    if (!makeIsoImage(sandbox / "Thing.iso", "Thing Volume", {{"/Thing.app", sandbox / "content/Thing.app"}})) {
      return;
    }
    attached = std::make_unique<AttachedImage>(sandbox / "Thing.iso", base);
    if (attached->mountPoints().size() == 1) {
      mountPoint = attached->mountPoints().front();
    }
  }
  std::string folder() const { return fs::path(mountPoint).parent_path().string(); }
  std::string id() const { return fs::path(folder()).filename().string(); }
  std::string name() const { return fs::path(mountPoint).filename().string(); }
  std::string marker() const { return folder() + "/.hdiutil-standin-mount"; }
};

#define ATTACH_SAMPLE_OR_SKIP(sample)                                                         \
  SKIP_WITHOUT_STANDIN();                                                                     \
  AttachedSample sample;                                                                      \
  ASSERT_FALSE(sample.mountPoint.empty()) << "attaching a small ISO image failed (xorriso?)"

// A path to hand to detach, set up by the case, and the base detach runs with.
struct Target {
  std::string path;
  std::string base;
};

struct RefusedCase {
  std::string name;
  std::function<Target(AttachedSample&)> make;
  // Takes away what the case put in the stand-in's own folders, so that the real
  // detach that follows can finish.
  std::function<void(AttachedSample&)> tidy = [](AttachedSample&) {};
};

void PrintTo(const RefusedCase& refused, std::ostream* out) { *out << refused.name; }

// Writes a look-alike of the sample's volume at `folder`/NAME with a marker in the
// stand-in's format, naming that look-alike and holding `token`.
std::string plantLookAlike(const AttachedSample& sample, const std::string& folder, const std::string& token) {
  std::string mountPoint = folder + "/" + sample.name();
  writeFile(mountPoint + "/Thing.app/Contents/precious", "keep me");
  writeFile(folder + "/.hdiutil-standin-mount", token + "\n/dev/disk4\n/dev/disk4s1\n" + mountPoint, 0600);
  return mountPoint;
}

std::string realToken(const AttachedSample& sample) {
  std::string marker = readFile(sample.marker());
  return marker.substr(0, marker.find('\n'));
}

class RefusedDetach : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedDetach, LeavesEverythingAsItWas) {
  ATTACH_SAMPLE_OR_SKIP(sample);
  Target target = GetParam().make(sample);
  bool existedBefore = exists(target.path);
  Tree before = treeOf(sample.sandbox.path());

  ProgramRun run = runStandIn({"detach", "-force", target.path}, target.base);
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.standardError, kRefused);
  EXPECT_EQ(run.standardOutput, "");
  EXPECT_EQ(treeOf(sample.sandbox.path()), before);
  EXPECT_EQ(exists(target.path), existedBefore);
  // The real mount point is still attached and still detaches.
  EXPECT_EQ(readFile(sample.mountPoint + "/Thing.app/Contents/Info.plist"), "<plist/>");
  GetParam().tidy(sample);
  EXPECT_EQ(sample.attached->detach(sample.mountPoint).exitStatus, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RefusedDetach,
    ::testing::Values(
        RefusedCase{"Root", [](AttachedSample& s) { return Target{"/", s.base}; }},
        RefusedCase{"HomeFolder",
                    [](AttachedSample& s) {
                      const char* home = std::getenv("HOME");
                      return Target{home != nullptr && *home != '\0' ? home : "/root", s.base};
                    }},
        RefusedCase{"Empty", [](AttachedSample& s) { return Target{"", s.base}; }},
        RefusedCase{"TheBase", [](AttachedSample& s) { return Target{s.base, s.base}; }},
        RefusedCase{"TheVolumesFolder", [](AttachedSample& s) { return Target{s.folder(), s.base}; }},
        RefusedCase{"AFolderOnTheVolume", [](AttachedSample& s) { return Target{s.mountPoint + "/Thing.app", s.base}; }},
        RefusedCase{"Relative", [](AttachedSample& s) { return Target{s.mountPoint.substr(1), s.base}; }},
        RefusedCase{"WithDotDot",
                    [](AttachedSample& s) { return Target{s.folder() + "/../" + s.id() + "/" + s.name(), s.base}; }},
        RefusedCase{"WithDot", [](AttachedSample& s) { return Target{s.base + "/./" + s.id() + "/" + s.name(), s.base}; }},
        RefusedCase{"WithDoubleSlash",
                    [](AttachedSample& s) { return Target{s.base + "//" + s.id() + "/" + s.name(), s.base}; }},
        RefusedCase{"LinkToTheMountPoint",
                    [](AttachedSample& s) {
                      fs::create_symlink(s.mountPoint, s.sandbox / "link");
                      return Target{s.sandbox / "link", s.base};
                    }},
        RefusedCase{"PathThroughALinkToTheVolumesFolder",
                    [](AttachedSample& s) {
                      fs::create_symlink(s.folder(), s.sandbox / "linked");
                      return Target{s.sandbox / "linked/" + s.name(), s.base};
                    }},
        RefusedCase{"LinkInTheBaseNamedLikeAVolumesFolder",
                    [](AttachedSample& s) {
                      fs::create_symlink(s.folder(), s.base + "/Lnk000");
                      return Target{s.base + "/Lnk000/" + s.name(), s.base};
                    }},
        RefusedCase{"LookAlikeOutsideTheBaseWithTheRealToken",
                    [](AttachedSample& s) {
                      return Target{plantLookAlike(s, s.sandbox / "elsewhere/Abc123", realToken(s)), s.base};
                    }},
        RefusedCase{"LookAlikeInTheBaseWithAnInventedToken",
                    [](AttachedSample& s) {
                      return Target{plantLookAlike(s, s.base + "/Fake01", std::string(32, '0')), s.base};
                    }},
        RefusedCase{"LookAlikeInTheBaseWithTheRealToken",
                    [](AttachedSample& s) { return Target{plantLookAlike(s, s.base + "/Fake02", realToken(s)), s.base}; }},
        RefusedCase{"LookAlikeInTheBaseWhoseKeptTokenDiffers",
                    [](AttachedSample& s) {
                      writeFile(s.base + "/.Fake03.token", std::string(32, '1'), 0600);
                      return Target{plantLookAlike(s, s.base + "/Fake03", std::string(32, '0')), s.base};
                    }},
        RefusedCase{"MarkerNamingAnotherPath",
                    [](AttachedSample& s) {
                      // A second folder in the real volume's own place, its marker unchanged.
                      fs::create_directory(s.folder() + "/Other Volume");
                      return Target{s.folder() + "/Other Volume", s.base};
                    },
                    [](AttachedSample& s) { fs::remove(s.folder() + "/Other Volume"); }},
        RefusedCase{"MountPointOfAnotherBase",
                    [](AttachedSample& s) { return Target{s.mountPoint, s.sandbox / "other-volumes"}; }}),
    [](const ::testing::TestParamInfo<RefusedCase>& info) { return info.param.name; });

TEST(StandInDetach, RemovesItsMountPointOnceWithOrWithoutForceAndLeavesTheBaseEmpty) {
  for (const std::vector<std::string>& detach : std::vector<std::vector<std::string>>{
           {"detach", "-force"}, {"detach"}, {"detach", "-quiet"}}) {
    for (const bool trailingSlash : {false, true}) {
      ATTACH_SAMPLE_OR_SKIP(sample);
      std::vector<std::string> arguments = detach;
      arguments.push_back(sample.mountPoint + (trailingSlash ? "/" : ""));
      ProgramRun run = runStandIn(arguments, sample.base);
      EXPECT_EQ(run.exitStatus, 0) << run.standardError;
      EXPECT_FALSE(exists(sample.mountPoint));
      EXPECT_TRUE(holdsNothing(sample.base));
      ProgramRun again = runStandIn(arguments, sample.base);
      EXPECT_EQ(again.exitStatus, 1);
      EXPECT_EQ(again.standardError, kRefused);
    }
  }
}

// Runs a bash script as root in a private mount namespace of its own; the script gets
// the stand-in as $1, the base as $2 and a small image as $3.
ProgramRun runInPrivateNamespace(const AttachedSample& sample, const std::string& script) {
  return runProgram({"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/bash", "-c", script, "script",
                     standInBinary(), sample.base, sample.sandbox / "Thing.iso"},
                    {"HDIUTIL_STANDIN_DIR=" + sample.base});
}

const std::string kAttachInScript = R"(
set -u
mp=$(echo YES | "$1" attach -nobrowse -plist "$3" | grep -A1 '<key>mount-point</key>' | tail -n 1 |
     sed -e 's/^[[:space:]]*<string>//' -e 's/<\/string>$//')
[ -d "$mp" ] || { echo "attach failed"; exit 90; }
)";

TEST(StandInDetach, RemovesABindMountWhoseNamespaceHasEnded) {
  SKIP_WITHOUT_PRIVATE_NAMESPACES();
  ATTACH_SAMPLE_OR_SKIP(sample);
  ProgramRun inside = runInPrivateNamespace(sample, kAttachInScript + R"(
touch "$mp/written" 2>/dev/null && exit 91    # a read-only bind mount
printf '%s' "$mp" > "$2/../attached-in-namespace"
)");
  ASSERT_EQ(inside.exitStatus, 0) << inside.standardOutput << inside.standardError;
  std::string mountPoint = readFile(sample.sandbox / "attached-in-namespace");
  ASSERT_TRUE(exists(mountPoint));

  ProgramRun run = runStandIn({"detach", "-force", mountPoint}, sample.base);
  EXPECT_EQ(run.exitStatus, 0) << run.standardError;
  EXPECT_FALSE(exists(mountPoint));
  // Only what belongs to the sample attached outside is left.
  auto left = installer::listFolder(sample.base);
  ASSERT_TRUE(left);
  for (const auto& name : *left) {
    EXPECT_NE(name.find(sample.id()), std::string::npos) << name;
  }
  EXPECT_TRUE(exists(sample.mountPoint));
}

TEST(StandInDetach, NeverRemovesAcrossAFileSystemMountedInItsWay) {
  SKIP_WITHOUT_PRIVATE_NAMESPACES();
  ATTACH_SAMPLE_OR_SKIP(sample);
  writeFile(sample.sandbox / "precious/data", "keep me");
  ProgramRun inside = runInPrivateNamespace(sample, kAttachInScript + R"(
folder=$(dirname "$mp")
precious=$(dirname "$2")/precious
mkdir "$folder/intruder" && mount --bind "$precious" "$folder/intruder" || exit 92
"$1" detach -force "$mp"; echo "busy status $?"
[ -f "$precious/data" ] && echo "precious kept"
umount "$folder/intruder" && rmdir "$folder/intruder"
"$1" detach -force "$mp"; echo "free status $?"
)");
  EXPECT_EQ(inside.exitStatus, 0) << inside.standardError;
  EXPECT_TRUE(std::regex_match(inside.standardOutput,
                               std::regex("busy status 1\nprecious kept\n\"disk[0-9]+\" ejected\\.\nfree status 0\n")))
      << inside.standardOutput;
  EXPECT_NE(inside.standardError.find("hdiutil: detach failed - Resource busy"), std::string::npos)
      << inside.standardError;
  EXPECT_EQ(readFile(sample.sandbox / "precious/data"), "keep me");
}

}  // namespace
