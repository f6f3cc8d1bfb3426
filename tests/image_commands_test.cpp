// The attach and detach command lines: the usual exact form, that no image name,
// working folder or mount point, however hostile, reaches bash as anything but the
// one argument it is meant to be, and that no hdiutil, however it stalls, holds a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <sstream>
#include <thread>
#include <tuple>

#include "driver/attach.h"
#include "driver/install.h"
#include "image/mount.h"
#include "image/unmount.h"
#include "support/log_capture.h"
#include "support/named_case.h"
#include "support/record.h"
#include "support/workspace.h"

using installer::detachCommandLine;
using installer::mountCommandLine;
using testing_support::capturedLog;
using testing_support::HdiutilHere;
using testing_support::readFile;
using testing_support::Workspace;

namespace {

const std::string kAttach = "echo YES | hdiutil attach -nobrowse -plist ";

TEST(AttachCommandLine, BlanksAreEscapedAndAnythingElseSpecialIsQuotedWhole) {
  struct Case {
    std::string base, name, line;
  };
  for (const Case& c : std::vector<Case>{
           {"/A", "My Tool.dmg", kAttach + R"(/A/My\ Tool.dmg>/A/qzmount.plist)"},
           {"/Users/it/Deploy", "Big Disk Image.dmg",
            kAttach + R"(/Users/it/Deploy/Big\ Disk\ Image.dmg>/Users/it/Deploy/qzmount.plist)"},
           {"/", "x-1.2_b+c,d@e%f=g:h.dmg", kAttach + "/x-1.2_b+c,d@e%f=g:h.dmg>/qzmount.plist"},
           {"/A", "it's $HOME.dmg", kAttach + R"('/A/it'\''s $HOME.dmg'>/A/qzmount.plist)"},
           {"/A", "caf\xC3\xA9 1.dmg", kAttach + "'/A/caf\xC3\xA9 1.dmg'>/A/qzmount.plist"},
           {"/A B", "x.dmg", kAttach + R"('/A B/x.dmg'>'/A B/qzmount.plist')"},
       }) {
    EXPECT_EQ(mountCommandLine(c.base, c.name), c.line);
  }
}

TEST(DetachCommandLine, MountPointInDoubleQuotesUnlessItHoldsWhatBashReadsThere) {
  EXPECT_EQ(detachCommandLine("/Volumes/Transmission"), R"(hdiutil detach -force "/Volumes/Transmission")");
  EXPECT_EQ(installer::ejectCommandLine("/dev/disk4"), R"(diskutil eject "/dev/disk4")");
  EXPECT_EQ(installer::ejectCommandLine("/Volumes/$x"), R"(diskutil eject '/Volumes/$x')");
  EXPECT_EQ(detachCommandLine("/Volumes/My Disk 1"), R"(hdiutil detach -force "/Volumes/My Disk 1")");
  EXPECT_EQ(detachCommandLine("/Volumes/caf\xC3\xA9 'x' !"), "hdiutil detach -force \"/Volumes/caf\xC3\xA9 'x' !\"");
  EXPECT_EQ(detachCommandLine("/Volumes/\"$x`y`\\'"), R"(hdiutil detach -force '/Volumes/"$x`y`\'\''')");
}

// The caller's locale, which the tool's commands must not run in: its own, or one in
// which a byte can start a character that takes in the next byte, a backslash or a
// quote (GBK, GB18030, Big5, Big5-HKSCS, Shift_JIS, EUC-TW).  Those are made with
// localedef into a folder of the test's own, found through LOCPATH.
class InLocale : public ::testing::TestWithParam<std::string> {
protected:
  void SetUp() override {
    if (GetParam().empty()) {
      return;
    }
    static const testing_support::TempDir folder;
    static const bool made = [] {
      for (const auto& [source, charmap, name] :
           {std::tuple{"zh_CN", "GBK", "zh_CN.GBK"}, std::tuple{"zh_CN", "GB18030", "zh_CN.GB18030"},
            std::tuple{"zh_TW", "BIG5", "zh_TW.BIG5"}, std::tuple{"zh_HK", "BIG5-HKSCS", "zh_HK.BIG5-HKSCS"},
            std::tuple{"ja_JP", "SHIFT_JIS", "ja_JP.SJIS"}, std::tuple{"zh_TW", "EUC-TW", "zh_TW.EUC-TW"}}) {
        // localedef warns, with status 1, that Shift_JIS is not ASCII-compatible.
        testing_support::runProgram({"/usr/bin/env", "localedef", "-i", source, "-f", charmap, folder / name});
        if (!testing_support::exists(folder / name + "/LC_CTYPE")) {
          return false;
        }
      }
      return true;
    }();
    if (!made) {
      GTEST_SKIP() << "localedef could not make " << GetParam() << " (Debian package locales)";
    }
    ::setenv("LOCPATH", folder.path().c_str(), 1);
    ::setenv("LC_ALL", GetParam().c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("LOCPATH");
    ::unsetenv("LC_ALL");
  }
  // Fewer rounds in the added locales: the fixed cases come first.
  size_t rounds() const { return GetParam().empty() ? 300 : 40; }
};

// The fixed cases, then random bytes (all but NUL; '/' only where allowed) around one
// shell metacharacter and one command that would leave the file "pwned" behind if it
// ever ran.
std::string hostileText(std::mt19937& random, size_t i, bool slashAllowed, const std::vector<std::string>& fixed) {
  if (i < fixed.size()) {
    return fixed[i];
  }
  static const std::string metacharacters = " \t\n'\"`$\\;|&<>(){}[]*?~#!^-";
  static const std::vector<std::string> commands = {
      // 0x81, 0x95 and 0xE4 0xB8 0x81 (丁 in UTF-8) end in a byte that starts a two-byte
      // character in GBK, Big5 and Shift_JIS.
      "\xE4\xB8\x81$(touch pwned)", "\x81`touch pwned`", "\x95\"; touch pwned; \"", "\x81'; touch pwned; '",
      "$(touch pwned)", "`touch pwned`", ";touch pwned;", "|touch pwned", "&touch pwned&", "'$(touch pwned)'",
      "\"$(touch pwned)\"", "\ntouch pwned\n", ">pwned", "'\\''; touch pwned; '", "\\\"; touch pwned #"};
  std::uniform_int_distribution<int> byte(1, 255);
  std::uniform_int_distribution<int> length(0, 12);
  auto randomBytes = [&] {
    std::string bytes;
    for (int n = length(random); n > 0; --n) {
      char c = static_cast<char>(byte(random));
      bytes += c != '/' || slashAllowed ? c : '_';
    }
    return bytes;
  };
  std::string text = randomBytes() + metacharacters[i % metacharacters.size()];
  text += commands[i % commands.size()] + randomBytes();
  return i % 5 == 0 ? "-" + text : text;
}

class HostileNames : public InLocale {};

TEST_P(HostileNames, ReachHdiutilAsOneArgumentAndRunNothingElse) {
  Workspace workspace;
  HdiutilHere here(workspace);
  const std::string record = testing_support::recordSeed("hdiutil-hfs.plist");
  workspace.scriptVerb("attach", record);
  std::vector<std::string> folders;
  for (const char* name : {"B;touch pwned;C'D", "plain", "with blank", "quote's \"here\"", "$dollar `tick` \\"}) {
    folders.push_back(workspace.root() + "/" + name);
    std::filesystem::create_directories(folders.back());
  }
  std::mt19937 random(20240611);
  for (size_t i = 0; i < rounds() && !HasFailure(); ++i) {
    const std::string& base = folders[i % folders.size()];
    // In GB18030, 0xD8 and the digit after it start a four-byte character that takes
    // in the quote closing the path.
    std::string name = hostileText(random, i, false, {"i\xD8" "4", "\xE5\xAE\x89" "2.dmg"});
    SCOPED_TRACE("folder " + ::testing::PrintToString(base) + ", name " + ::testing::PrintToString(name));
    here.forgetCalls();
    std::filesystem::remove(base + "/qzmount.plist");

    installer::MountOutcome outcome;
    capturedLog([&] { outcome = installer::mountImage(base, name, installer::kAttachLimit); });
    EXPECT_EQ(workspace.hdiutilCalls(),
              (std::vector<std::vector<std::string>>{{"attach", "-nobrowse", "-plist", base + "/" + name}}));
    EXPECT_EQ(workspace.hdiutilStdin(0), "YES\n");
    EXPECT_EQ(readFile(base + "/qzmount.plist"), record);
    ASSERT_TRUE(outcome.entities);
    EXPECT_EQ(outcome.entities->size(), 2u);
    EXPECT_EQ(here.strayFiles(), std::vector<std::string>{});
  }
}

class HostileMountPoints : public InLocale {};

TEST_P(HostileMountPoints, ReachHdiutilDetachUnchangedAndRunNothingElse) {
  Workspace workspace;
  HdiutilHere here(workspace);
  std::mt19937 random(20240612);
  for (size_t i = 0; i < rounds() && !HasFailure(); ++i) {
    // Ordinary volume names (安2, 网易云音乐2) whose last byte and the digit after it start
    // a GB18030 character that takes in the closing double quote.
    std::string mountPoint =
        "/Volumes/" + hostileText(random, i, true, {"\xE5\xAE\x89" "2", "\xE7\xBD\x91\xE6\x98\x93\xE4\xBA\x91"
                                                                     "\xE9\x9F\xB3\xE4\xB9\x90" "2"});
    SCOPED_TRACE("mount point " + ::testing::PrintToString(mountPoint));
    here.forgetCalls();
    // Every other detach fails, and diskutil ejects the mount point instead.
    const bool detached = i % 2 == 0;
    workspace.scriptVerb("detach", "", detached ? 0 : 1);
    auto log = capturedLog([&] { installer::unmountDMG(mountPoint, "x.dmg", "", installer::kDetachLimit); });
    std::vector<std::vector<std::string>> calls = {{"detach", "-force", mountPoint}};
    if (!detached) {
      calls.push_back({"eject", mountPoint});
    }
    EXPECT_EQ(workspace.hdiutilCalls(), calls);
    EXPECT_EQ(here.strayFiles(), std::vector<std::string>{});
    EXPECT_EQ(log.size(), detached ? 2u : 6u);
  }
}

const auto kLocales = ::testing::Values("", "zh_CN.GBK", "zh_CN.GB18030", "zh_TW.BIG5", "zh_HK.BIG5-HKSCS",
                                        "ja_JP.SJIS", "zh_TW.EUC-TW");
auto localeName = [](const auto& info) {
  std::string name = info.param.empty() ? std::string("Callers") : info.param.substr(6);
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
};
INSTANTIATE_TEST_SUITE_P(Locales, HostileNames, kLocales, localeName);
INSTANTIATE_TEST_SUITE_P(Locales, HostileMountPoints, kLocales, localeName);

// An hdiutil that stalls, as the attach or as the detach (whose eject then succeeds,
// unless it stalls too).  Each script first notes its process group in "groups".
struct Stall : testing_support::Named {
  std::string verb, script, ejectScript;
  std::optional<std::string> stoppedWith;  // the output logged when it is stopped
  std::string record;                      // what the failed attach leaves in the record
  double least;                            // the least the run takes: limits of 1 s, graces of 0.4 s
};
const std::string kNever = "exec sleep 1000", kIgnoresTerm = "trap '' TERM; sleep 1000",
                  kPartial = "echo verifying >&2; printf '<?xml'; exec sleep 1000";

// Whether a process of group `group` is alive (a zombie is not), a second after.
bool groupAlive(const std::string& group) {
  for (int look = 0; look < 20; ++look, std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
    if (testing_support::runProgram({"/usr/bin/pgrep", "-g", group, "-r", "R,S,D,T,t"}).exitStatus != 0) {
      return false;
    }
  }
  return true;
}

class StallingHdiutil : public ::testing::TestWithParam<Stall> {};

TEST_P(StallingHdiutil, EndsWithinItsLimitsAsAFailedCommandLeavingNothingRunning) {
  const Stall& c = GetParam();
  Workspace workspace;
  HdiutilHere here(workspace);
  const std::string noteGroup = "cut -d' ' -f5 /proc/$$/stat >>\"$FAKE_HDIUTIL_DIR/groups\"; ";
  const std::string record = testing_support::hdiutilRecord({"/Volumes/X"}), recordPath = workspace.work() + "/qzmount.plist";
  workspace.scriptVerb("attach", record);
  workspace.scriptVerb("eject", "");
  workspace.scriptVerbAction(c.verb, noteGroup + c.script);
  if (!c.ejectScript.empty()) {
    workspace.scriptVerbAction("eject", noteGroup + c.ejectScript);
  }
  installer::Run run;
  run.arguments = {"image-installer", "x.dmg", "X.app"};
  run.basePath = workspace.work();
  run.attachLimit = run.detachLimit = {std::chrono::milliseconds(1000), std::chrono::milliseconds(400)};
  std::optional<int> status;
  const auto start = std::chrono::steady_clock::now();
  auto log = capturedLog([&] {
    if (c.verb == "attach") {
      status = installer::attachImage(run);
    } else {
      testing_support::writeFile(recordPath, "");
      installer::cleanUp(run, {"/Volumes/X", "X.app"});
    }
  });
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("    %s took %.2f s\n", c.name.c_str(), took.count());
  EXPECT_GE(took.count(), c.least);
  EXPECT_LE(took.count(), c.least + 0.4 + 1.5);  // a grace, and time to start bash on a busy machine

  std::vector<std::string> expected;
  auto command = [&](const std::string& line, const std::optional<std::string>& stoppedWith) {
    expected.push_back("Given Command /bin/bash " + line);
    if (stoppedWith) {
      expected.push_back("Command stopped after its time limit of 1 second: /bin/bash " + line);
    }
    expected.push_back("terminationStatus : " + std::string(stoppedWith ? "124" : "0") + " output : " +
                       stoppedWith.value_or(""));
  };
  if (c.verb == "attach") {
    const std::string line = installer::mountCommandLine(workspace.work(), "x.dmg");
    expected.push_back("Mount cmd ->" + line);
    command(line, c.stoppedWith);
    expected.push_back(c.stoppedWith ? "Error in mounting x.dmg" : "Array count in systemEntities 1");
    EXPECT_EQ(status, c.stoppedWith ? std::optional(26) : std::nullopt);
    EXPECT_EQ(readFile(recordPath), c.stoppedWith ? c.record : record);
  } else {
    command(detachCommandLine("/Volumes/X"), c.stoppedWith);
    if (c.stoppedWith) {
      expected.push_back("Error in unmount x.dmg");
      command(R"(diskutil eject "/Volumes/X")", c.ejectScript.empty() ? std::nullopt : std::optional(""));
      expected.push_back(c.ejectScript.empty() ? "Ejected /Volumes/X with diskutil" : "Error in eject /Volumes/X");
    }
  }
  EXPECT_EQ(log, expected);
  std::istringstream groups(readFile(workspace.fake() + "/groups"));
  for (std::string group; groups >> group;) {
    EXPECT_FALSE(groupAlive(group)) << "group " << group;
  }
}

INSTANTIATE_TEST_SUITE_P(
    FourScripts, StallingHdiutil,
    ::testing::Values(Stall{{"AttachNeverReturns"}, "attach", kNever, "", "", "", 1},
                      Stall{{"AttachIgnoresTerm"}, "attach", kIgnoresTerm, "", "", "", 1.4},
                      Stall{{"AttachLeavesAWriterOnStandardError"}, "attach", "(exec sleep 1000) >/dev/null &", "",
                            std::nullopt, "", 0.4},
                      Stall{{"AttachPrintsPartThenStalls"}, "attach", kPartial, "", "verifying\n", "<?xml", 1},
                      Stall{{"DetachNeverReturns"}, "detach", kNever, "", "", "", 1},
                      Stall{{"DetachIgnoresTerm"}, "detach", kIgnoresTerm, "", "", "", 1.4},
                      Stall{{"DetachLeavesAWriter"}, "detach", "sleep 1000 &", "", std::nullopt, "", 0.4},
                      Stall{{"DetachPrintsPartThenStalls"}, "detach", kPartial, "", "verifying\n<?xml", "", 1},
                      Stall{{"DetachAndEjectNeverReturn"}, "detach", kNever, kNever, "", "", 2}),
    testing_support::caseName);

}  // namespace
