// macOS has no mount namespaces: tests that need their own mounts skip there.
#include <stdexcept>

#include "support/private_mounts.h"

namespace testing_support {

bool enterPrivateMountNamespace() { return false; }

bool emptyDevInOwnNamespace() { return false; }

ScopedMount::ScopedMount(const std::string& type, const std::string& at, const std::string&) {
  throw std::logic_error("no private mounts on macOS: mounting " + type + " at " + at);
}

ScopedMount ScopedMount::readOnly(const std::string& at) {
  throw std::logic_error("no private mounts on macOS: binding " + at);
}

ScopedMount::ScopedMount(ScopedMount&& other) noexcept : at_(std::move(other.at_)) {}

ScopedMount::~ScopedMount() = default;

std::string loopFileSystemsUnavailable() { return "macOS has no loop devices or mount namespaces"; }

LoopFileSystem::LoopFileSystem(const std::string& image, const std::string&, int) {
  throw std::logic_error("no loop file systems on macOS: " + image);
}

LoopFileSystem::~LoopFileSystem() = default;

void LoopFileSystem::cutPowerAndRemount() {}

void LoopFileSystem::mountDevice() {}

}  // namespace testing_support
