#include "support/private_mounts.h"

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace testing_support {

bool enterPrivateMountNamespace() {
  static const bool entered = [] {
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0) {
      return false;
    }
    // Without this, mounts made here would show in the namespace we came from.
    return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  }();
  return entered;
}

ScopedMount::ScopedMount(const std::string& type, const std::string& at, const std::string& options) {
  if (::mount(type.c_str(), at.c_str(), type.c_str(), 0, options.empty() ? nullptr : options.c_str()) != 0) {
    throw std::runtime_error("mounting " + type + " at " + at + ": " + std::strerror(errno));
  }
  at_ = at;
}

ScopedMount ScopedMount::readOnly(const std::string& at) {
  ScopedMount bound;
  if (::mount(at.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    throw std::runtime_error("binding " + at + ": " + std::strerror(errno));
  }
  bound.at_ = at;
  if (::mount(nullptr, at.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
    throw std::runtime_error("making " + at + " read-only: " + std::strerror(errno));
  }
  return bound;
}

ScopedMount::ScopedMount(ScopedMount&& other) noexcept : at_(std::exchange(other.at_, {})) {}

ScopedMount::~ScopedMount() {
  if (!at_.empty()) {
    ::umount2(at_.c_str(), MNT_DETACH);
  }
}

}  // namespace testing_support
