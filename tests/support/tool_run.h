#pragma once

#include <functional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace testing_support {

// What a finished program run gave.
struct ProgramRun {
  int exitStatus = -1;        // exit code, or 128 + signal
  std::string standardError;  // the tool's log
  std::string standardOutput;
};

// Runs argv[0] (a path) with the given arguments, standard input from /dev/null, the
// current environment plus `extraEnvironment` ("NAME=value", later ones win), in
// `folder` when given.
ProgramRun runProgram(const std::vector<std::string>& argv,
                      const std::vector<std::string>& extraEnvironment = {},
                      const std::string& folder = "");

// The messages of a log written to standard error: the text of each record with its
// "YYYY-MM-DD HH:MM:SS.mmm name[pid:tid] " prefix and its final line feed taken off.
// A message may hold line breaks of its own.
std::vector<std::string> splitLogRecords(const std::string& log);

// Captures what the calling process logs while `body` runs, as messages.
std::vector<std::string> capturedLog(const std::function<void()>& body);

// Which hdiutil whole runs meet: the scripted one, told by each test what to say, or
// the Linux stand-in that attaches real disk images.
enum class Hdiutil { Scripted, StandIn };

// A working folder laid out for whole runs of the real binary:
//   root/work/                     the working folder (basePath)
//   root/work/bin/tool/image-installer
//   root/fake/                     the scripted hdiutil's control folder
//   root/fakebin/hdiutil           the chosen hdiutil, first on PATH
//   root/standin-base/             where the hdiutil stand-in puts its mount points
//   root/Applications/             what the run sees as /Applications
class Workspace {
public:
  explicit Workspace(Hdiutil hdiutil = Hdiutil::Scripted);

  const std::string& root() const { return dir_.path(); }
  std::string work() const { return dir_ / "work"; }
  std::string fake() const { return dir_ / "fake"; }
  std::string applications() const { return dir_ / "Applications"; }
  std::string tool() const { return dir_ / "work/bin/tool/image-installer"; }
  std::string standInBase() const { return dir_ / "standin-base"; }

  // Tells the scripted hdiutil what VERB prints and returns.
  void scriptVerb(const std::string& verb, const std::string& standardOutput, int status = 0,
                  const std::string& standardError = "");
  // Installs an executable script run by the scripted hdiutil on VERB, before it prints.
  void scriptVerbAction(const std::string& verb, const std::string& bashScript);
  // The argument lists hdiutil was called with, in call order.
  std::vector<std::vector<std::string>> hdiutilCalls() const;
  // What the attach call at position `index` read on standard input.
  std::string hdiutilStdin(size_t index) const;

  // Runs the tool with `arguments` (after its own path) in a private mount namespace
  // whose /Applications is applications().  Whether the machine allows that is told
  // by privateNamespacesAvailable().
  ProgramRun run(const std::vector<std::string>& arguments) const;
  // The same, with the tool's standard error a pipe whose reader has already gone.
  ProgramRun runWithLogReaderGone(const std::vector<std::string>& arguments) const;

private:
  ProgramRun runWrapped(const std::vector<std::string>& wrapper, const std::vector<std::string>& arguments) const;

  TempDir dir_;
};

// Whether runs can get a private /Applications here (root and unshare -m).
bool privateNamespacesAvailable();

// For in-process tests of code that runs hdiutil through bash: while it lives, this
// process finds a Workspace's scripted hdiutil first on PATH, and its current folder
// is an empty folder of its own, where a command injected into a command line would
// most likely leave files (see strayFiles).  Restores PATH and the folder on
// destruction.
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

// Whether `log` holds `message` as one of its messages.
bool logHas(const std::vector<std::string>& log, const std::string& message);

#define SKIP_WITHOUT_PRIVATE_NAMESPACES()                                                     \
  if (!::testing_support::privateNamespacesAvailable()) {                                     \
    GTEST_SKIP() << "needs root and private mount namespaces (unshare -m) for a private "    \
                    "/Applications";                                                         \
  }

}  // namespace testing_support
