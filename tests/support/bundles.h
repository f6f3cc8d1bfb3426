#pragma once

// Bundles to install and installs to run, in-process or in a child process, for the
// tests of copyApp and replaceWithCopy.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "install/copy_app.h"
#include "support/copy_workers.h"
#include "support/files.h"
#include "support/log_capture.h"

namespace testing_support {

using Lines = std::vector<std::string>;

inline const std::string kCopyFailed = "App Copied Failed!!!!!!!!!!! ";
inline const Lines kReplaced{"App already exist , hence replacing", "App Copied successfully"};

// copyApp with the workers the test run asks for.
inline bool copyApp(const std::string& path, const std::string& toLocation) {
  return installer::copyApp(path, toLocation, copyWorkers());
}

inline void makeNewBundle(const std::string& app, size_t binarySize = 4096) {
  writeFile(app + "/Contents/Info.plist", "<plist>new</plist>");
  writeFile(app + "/Contents/MacOS/X", std::string(binarySize, 'n'), 0755);
  writeFile(app + "/Contents/Resources/en.lproj/Main.strings", "new strings");
}

inline void makeOldBundle(const std::string& app) {
  writeFile(app + "/Contents/Info.plist", "<plist>old</plist>");
  writeFile(app + "/Contents/MacOS/X", "old binary", 0755);
  writeFile(app + "/Contents/Resources/only-in-old.txt", "left over?");
}

// Adds `count` files of `size` bytes to the bundle at `app`, over eight folders, so
// that several workers have files to fill at once.
inline void addManyFiles(const std::string& app, int count, size_t size) {
  for (int i = 0; i < count; ++i) {
    writeFile(app + "/Contents/Resources/d" + std::to_string(i % 8) + "/f" + std::to_string(i),
              std::string(size, 'm'));
  }
}

// A bundle on a "volume" and a destination folder, both in one temporary folder.
struct Install {
  TempDir dir;
  std::string source = dir / "volume/X.app";
  std::string applications = dir / "Applications";
  std::string destination = applications + "/X.app";
  Install() { std::filesystem::create_directories(applications); }
};

// What an install in a child process came to: its exit status (0 when copyApp
// succeeded, 1 when it failed, 128 + signal when it crashed) and its log.
struct ChildInstall {
  int status = -1;
  Lines log;
};

// Runs copyApp for `install` with `workers` in a child process whose log goes to
// `logPath`, after `first` (which sets limits, or stops for a tracer).
inline pid_t startInstall(const Install& install, const std::string& logPath, const std::function<void()>& first,
                          size_t workers = copyWorkers()) {
  pid_t child = ::fork();
  if (child == 0) {
    int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (log < 0 || ::dup2(log, STDERR_FILENO) < 0) {
      ::_exit(120);
    }
    ::close(log);
    first();
    ::_exit(installer::copyApp(install.source, install.destination, workers) ? 0 : 1);
  }
  return child;
}

inline ChildInstall finishInstall(pid_t child, const std::string& logPath) {
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), splitLogRecords(readFile(logPath))};
}

}  // namespace testing_support
