// image-installer-selftest: checks, on the machine it runs on, everything the tool
// relies on, with the tool's own code, and says ok, FAILED (with the system's error)
// or skipped (with the reason) for each.  Exits 0 only when nothing failed.
//
//   image-installer-selftest                     the checks
//   image-installer-selftest --benchmark [PASSES]
//                                                the tool's copy against cp -a (and
//                                                ditto on macOS), from a folder and
//                                                from an attached image, 5 passes by
//                                                default
//
// It works in a fresh temporary folder of its own on the volume that holds
// /Applications (never in /Applications), and removes everything it made when it
// ends, whatever happened.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "install/copy_tree.h"
#include "platform/fd.h"
#include "platform/fs.h"
#include "platform/io.h"
#include "platform/removal.h"
#include "platform/process.h"
#include "platform/version.h"
#include "selftest/benchmark.h"
#include "selftest/command_checks.h"
#include "selftest/copy_checks.h"
#include "selftest/hidden_check.h"
#include "selftest/image_checks.h"
#include "selftest/image_tools.h"
#include "selftest/lock_flush_checks.h"
#include "selftest/log_checks.h"
#include "selftest/process_check.h"
#include "selftest/programs.h"
#include "selftest/rename_checks.h"
#include "selftest/report.h"
#include "selftest/supervisor.h"
#include "selftest/system_facts.h"
#include "selftest/workspace.h"

namespace {

using namespace installer;
using namespace installer::selftest;

constexpr const char* kUsage =
    "usage: image-installer-selftest                      check what the tool relies on\n"
    "       image-installer-selftest --benchmark [PASSES]  time the tool's copy from a folder and from an\n"
    "                                                      image (5 passes by default)\n";

struct Options {
  bool benchmark = false;
  size_t passes = 5;
};

std::optional<Options> readOptions(int argc, char** argv) {
  Options options;
  if (argc == 1) {
    return options;
  }
  if (std::string(argv[1]) != "--benchmark" || argc > 3) {
    return std::nullopt;
  }
  options.benchmark = true;
  if (argc == 3) {
    char* end = nullptr;
    unsigned long passes = std::strtoul(argv[2], &end, 10);
    if (*argv[2] == '\0' || *end != '\0' || passes == 0 || passes > 1000) {
      return std::nullopt;
    }
    options.passes = passes;
  }
  return options;
}

// The version the tool beside the self-test carries, as what(1) would show it: a
// tool and a self-test from different builds tell apart here.
std::string toolBesideVersion() {
  std::optional<std::string> folder = executableFolder();
  std::string tool = folder.value_or(".") + "/image-installer";
  UniqueFd file(::open(tool.c_str(), O_RDONLY | O_CLOEXEC));
  std::string bytes;
  if (!folder || !file || !readToEnd(file.get(), bytes, tool, size_t{1} << 28)) {
    return "not readable beside the self-test (" + tool + ")";
  }
  std::optional<std::string> version = versionMarkIn(bytes);
  return version ? "image-installer " + *version + ", " + tool : "no version mark in " + tool;
}

void describeMachine() {
  SystemFacts facts = systemFacts();
  Report::text("image-installer-selftest " + std::string(toolVersion()) + "\n");
  Report::fact("tool", toolBesideVersion());
  Report::fact("system", facts.system);
  Report::fact("architecture", facts.architecture + (facts.translation ? ", " + *facts.translation : ""));
  uid_t user = ::geteuid();
  Report::fact("user", user == 0 ? "root" : "uid " + std::to_string(user) + ", not root");
  Report::fact("copy workers", std::to_string(defaultCopyWorkers()));
}

// The checks, in the child process the supervisor starts.
Counts runChecks(const Workspace& workspace, const ImageTools& tools, const Options& options) {
  Report report(workspace / "log-records");
  Report::text("\n");
  if (options.benchmark) {
    report.run([&] { return runBenchmark(workspace, tools, options.passes); });
    return report.counts();
  }
  report.run([&] { return copyChecks(workspace); });
  report.run([&] { return renameChecks(workspace); });
  report.run([&] { return lockChecks(workspace); });
  report.run([&] { return flushChecks(workspace); });
  report.run([&] { return hiddenFlagChecks(workspace); });
  report.run([&] { return runningProcessChecks(); });
  report.run([&] { return logChecks(workspace / "log-check-records"); });
  report.run([&] { return commandChecks(workspace); });
  report.run([&] { return imageChecks(workspace, tools); });
  return report.counts();
}

}  // namespace

int main(int argc, char** argv) {
  keepVersionMark();
  ensureStandardDescriptorsOpen();
  std::optional<Options> options = readOptions(argc, argv);
  if (!options) {
    bool help = argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h");
    std::fputs(kUsage, help ? stdout : stderr);
    return help ? 0 : 2;
  }

  describeMachine();
  Result<Workspace> workspace = makeWorkspace();
  if (!workspace) {
    Report::fact("working folder", "FAILED: " + workspace.error().description);
    return 1;
  }
  Report::fact("working folder", workspace->path);
  Report::fact("", workspace->placement + ", " + fileSystemName(workspace->path));
  // Before the checks start: the clean-up detaches with the same tools and environment.
  ImageTools tools = prepareImageTools(*workspace);

  ChecksEnd end = runSupervised([&] { return runChecks(*workspace, tools, *options); });

  // Whatever became of the checks, nothing they made stays.
  Report report(*workspace / "log-records");
  Counts counts = end.counts.value_or(Counts{});
  if (!end.counts) {
    report.line({"the checks ran to their end", failed(end.how)});
  }
  std::vector<std::string> attached = detachLeftovers(*workspace, tools);
  Result<void> removed = removeItem(workspace->path);
  std::string left;
  for (const std::string& point : attached) {
    left += "; still mounted: " + point;
  }
  report.line({"clean-up: the working folder removed",
               removed && left.empty() ? passed() : failed((removed ? "" : removed.error().description) + left)});
  counts.ok += report.counts().ok;
  counts.failed += report.counts().failed;
  counts.skipped += report.counts().skipped;
  Report::text("\n" + Report::summary(counts) + "\n");
  return counts.failed == 0 ? 0 : 1;
}
