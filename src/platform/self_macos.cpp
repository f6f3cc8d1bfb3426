// macOS only: the executable's path from dyld, the thread id from pthreads.
#include <mach-o/dyld.h>
#include <pthread.h>
#include <stdlib.h>

#include <climits>
#include <cstdint>
#include <string>

#include "platform/self.h"

namespace installer {

std::optional<std::string> executablePath() {
  uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::string raw(size, '\0');
  if (_NSGetExecutablePath(raw.data(), &size) != 0) {
    return std::nullopt;
  }
  char resolved[PATH_MAX];
  if (realpath(raw.c_str(), resolved) == nullptr) {
    return std::nullopt;
  }
  return std::string(resolved);
}

std::optional<std::string> mainBundleLocation() {
  auto path = executablePath();
  if (!path) {
    return std::nullopt;
  }
  std::string folder = path->substr(0, path->rfind('/'));
  // An executable at X.app/Contents/MacOS/tool belongs to the bundle X.app.
  constexpr std::string_view inBundle = ".app/Contents/MacOS";
  if (folder.size() > inBundle.size() && folder.ends_with(inBundle)) {
    return folder.substr(0, folder.size() - std::string_view("/Contents/MacOS").size());
  }
  return folder.empty() ? std::string("/") : folder;
}

std::string programName() { return getprogname(); }

std::uint64_t currentThreadId() {
  uint64_t id = 0;
  pthread_threadid_np(nullptr, &id);
  return id;
}

}  // namespace installer
