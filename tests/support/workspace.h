#pragma once

#include <string>
#include <vector>

#include "support/files.h"
#include "support/program_run.h"

namespace testing_support {

// Which hdiutil a workspace offers: the scripted one, told by each test what to say,
// or the Linux stand-in that attaches real disk images.
enum class Hdiutil { Scripted, StandIn };

// A working folder laid out for runs of the tool, whole or in-process:
//   root/work/                     the working folder (basePath)
//   root/work/bin/tool/image-installer   (whole runs only)
//   root/fake/                     the scripted hdiutil's control folder
//   root/fakebin/hdiutil           the chosen hdiutil, first on PATH
//   root/fakebin/diskutil          the scripted diskutil (its verb: eject)
//   root/standin-base/             where the hdiutil stand-in puts its mount points
//   root/Applications/             the destination folder
class Workspace {
public:
  explicit Workspace(Hdiutil hdiutil = Hdiutil::Scripted);

  const std::string& root() const { return dir_.path(); }
  std::string work() const { return dir_ / "work"; }
  std::string fake() const { return dir_ / "fake"; }
  std::string applications() const { return dir_ / "Applications"; }
  // The built tool, copied two folders below the working folder on first use.
  std::string tool() const;
  std::string standInBase() const { return dir_ / "standin-base"; }

  // Tells the scripted hdiutil (or diskutil) what VERB prints and returns.
  void scriptVerb(const std::string& verb, const std::string& standardOutput, int status = 0,
                  const std::string& standardError = "");
  // Installs a bash script that the scripted hdiutil runs on VERB, with its
  // arguments, before it prints.
  void scriptVerbAction(const std::string& verb, const std::string& bashScript);
  // The argument lists hdiutil and diskutil were called with, in call order.
  std::vector<std::vector<std::string>> hdiutilCalls() const;
  // What the call at position `index` read on standard input.
  std::string hdiutilStdin(size_t index) const;

  // Runs the built tool, laid out two folders below the working folder, with
  // `arguments` in a private mount namespace whose /Applications is applications()
  // (see privateNamespacesAvailable()).  `wrapper`, when given, is a command that
  // runs the rest of its arguments (the tool's whole command line).
  ProgramRun run(const std::vector<std::string>& arguments, const std::vector<std::string>& wrapper = {}) const;

private:
  TempDir dir_;
};

// Whether runs can get a private /Applications here (root and unshare -m).
bool privateNamespacesAvailable();

#define SKIP_WITHOUT_PRIVATE_NAMESPACES()                                                     \
  if (!::testing_support::privateNamespacesAvailable()) {                                     \
    GTEST_SKIP() << "needs root and private mount namespaces (unshare -m) for a private "    \
                    "/Applications";                                                         \
  }

// For in-process tests of code that runs hdiutil through bash: while it lives, this
// process finds a Workspace's hdiutil first on PATH, and its current folder is an
// empty folder of its own, where a command injected into a command line would most
// likely leave files (see strayFiles).  Restores PATH and the folder on destruction.
class HdiutilHere {
public:
  explicit HdiutilHere(const Workspace& workspace);
  ~HdiutilHere();
  HdiutilHere(const HdiutilHere&) = delete;
  HdiutilHere& operator=(const HdiutilHere&) = delete;

  // Forgets the calls recorded so far.
  void forgetCalls();
  // Names of whatever appeared in the current folder.
  std::vector<std::string> strayFiles() const;

private:
  const Workspace& workspace_;
  TempDir folder_;
  std::string savedPath_;
  std::string savedFolder_;
};

}  // namespace testing_support
