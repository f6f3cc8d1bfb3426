#include "support/workspace.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace testing_support {

namespace {

// The scripted hdiutil, held here rather than read from the checkout, which a test run
// as another user may not be able to enter.
constexpr const char* kScriptedHdiutil = R"script(#!/usr/bin/env bash
# Scripted hdiutil (and diskutil, installed under that name) for tests.  The test points
# FAKE_HDIUTIL_DIR at a folder that says what each verb (the first argument: attach,
# detach; diskutil's eject) does:
#   VERB.stdout   copied to standard output          (optional)
#   VERB.stderr   copied to standard error           (optional)
#   VERB.status   the exit status                    (optional, default 0)
#   VERB.run      an executable run first with all arguments (optional), for
#                 behaviour a fixed answer cannot give (creating a record, a folder)
# Every call is recorded in FAKE_HDIUTIL_DIR/calls/N.args (the arguments, each ended
# by a NUL byte) and, for attach, N.stdin (what arrived on standard input).
set -u
dir=${FAKE_HDIUTIL_DIR:?FAKE_HDIUTIL_DIR is not set}
mkdir -p "$dir/calls"
n=$(find "$dir/calls" -name '*.args' | wc -l)
printf '%s\0' "$@" > "$dir/calls/$n.args"
verb=${1:-}
if [ "$verb" = attach ]; then
  cat > "$dir/calls/$n.stdin"
fi
if [ -x "$dir/$verb.run" ]; then
  "$dir/$verb.run" "$@"
fi
[ -f "$dir/$verb.stdout" ] && cat "$dir/$verb.stdout"
[ -f "$dir/$verb.stderr" ] && cat "$dir/$verb.stderr" >&2
status=0
[ -f "$dir/$verb.status" ] && status=$(cat "$dir/$verb.status")
exit "$status"
)script";

}  // namespace

Workspace::Workspace(Hdiutil hdiutil) {
  std::filesystem::create_directories(work());
  std::filesystem::create_directories(fake());
  std::filesystem::create_directories(applications());
  std::filesystem::create_directories(dir_ / "fakebin");
  // diskutil, which a failed detach falls back on, is always the scripted one.
  writeFile(dir_ / "fakebin/diskutil", kScriptedHdiutil, 0755);
  if (hdiutil == Hdiutil::Scripted) {
    writeFile(dir_ / "fakebin/hdiutil", kScriptedHdiutil, 0755);
  } else {
#ifdef HDIUTIL_STANDIN_BINARY
    std::filesystem::create_symlink(HDIUTIL_STANDIN_BINARY, dir_ / "fakebin/hdiutil");
#else
    throw std::runtime_error("the hdiutil stand-in is not built on this platform");
#endif
  }
}

void Workspace::scriptVerb(const std::string& verb, const std::string& standardOutput, int status,
                           const std::string& standardError) {
  writeFile(fake() + "/" + verb + ".stdout", standardOutput);
  writeFile(fake() + "/" + verb + ".stderr", standardError);
  writeFile(fake() + "/" + verb + ".status", std::to_string(status));
}

void Workspace::scriptVerbAction(const std::string& verb, const std::string& bashScript) {
  writeFile(fake() + "/" + verb + ".run", "#!/usr/bin/env bash\n" + bashScript, 0755);
}

std::vector<std::vector<std::string>> Workspace::hdiutilCalls() const {
  std::vector<std::vector<std::string>> calls;
  for (size_t n = 0;; ++n) {
    std::string path = fake() + "/calls/" + std::to_string(n) + ".args";
    if (!exists(path)) {
      return calls;
    }
    std::istringstream bytes(readFile(path));  // each argument ends in a NUL
    std::vector<std::string> arguments;
    for (std::string argument; std::getline(bytes, argument, '\0');) {
      arguments.push_back(argument);
    }
    calls.push_back(arguments);
  }
}

std::string Workspace::hdiutilStdin(size_t index) const {
  return readFile(fake() + "/calls/" + std::to_string(index) + ".stdin");
}


std::string Workspace::tool() const {
  std::string path = dir_ / "work/bin/tool/image-installer";
  if (!exists(path)) {
    std::filesystem::create_directories(work() + "/bin/tool");
    std::filesystem::copy_file(IMAGE_INSTALLER_BINARY, path);
  }
  return path;
}

ProgramRun Workspace::run(const std::vector<std::string>& arguments, const std::vector<std::string>& wrapper) const {
  std::vector<std::string> argv = wrapper;
  argv.insert(argv.end(), {std::string(PROJECT_SOURCE_DIR) + "/scripts/with-private-applications",
                           applications(), tool()});
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const char* path = std::getenv("PATH");
  return runProgram(argv, {"PATH=" + dir_ / "fakebin" + ":" + (path != nullptr ? path : "/usr/bin:/bin"),
                           "FAKE_HDIUTIL_DIR=" + fake(), "HDIUTIL_STANDIN_DIR=" + standInBase()},
                    work());
}

HdiutilHere::HdiutilHere(const Workspace& workspace) : workspace_(workspace) {
  const char* path = std::getenv("PATH");
  savedPath_ = path != nullptr ? path : "/usr/bin:/bin";
  savedFolder_ = std::filesystem::current_path();
  ::setenv("PATH", (workspace.root() + "/fakebin:" + savedPath_).c_str(), 1);
  ::setenv("FAKE_HDIUTIL_DIR", workspace.fake().c_str(), 1);
  if (::chdir(folder_.path().c_str()) != 0) {
    throw std::runtime_error("chdir failed");
  }
}

HdiutilHere::~HdiutilHere() {
  ::setenv("PATH", savedPath_.c_str(), 1);
  ::unsetenv("FAKE_HDIUTIL_DIR");
  if (::chdir(savedFolder_.c_str()) != 0) {
    std::abort();
  }
}

void HdiutilHere::forgetCalls() { std::filesystem::remove_all(workspace_.fake() + "/calls"); }

std::vector<std::string> HdiutilHere::strayFiles() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder_.path())) {
    names.push_back(entry.path().filename());
  }
  return names;
}

bool privateNamespacesAvailable() {
  static const bool available = [] {
    if (::geteuid() != 0) {
      return false;
    }
    ProgramRun probe = runProgram({"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/true"});
    return probe.exitStatus == 0;
  }();
  return available;
}

}  // namespace testing_support
