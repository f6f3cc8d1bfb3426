#include "support/hdiutil_here.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace testing_support {

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

}  // namespace testing_support
