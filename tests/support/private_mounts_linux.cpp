#include "support/private_mounts.h"

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "support/program_run.h"

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

bool emptyDevInOwnNamespace() {
  return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         ::mount("tmpfs", "/dev", "tmpfs", 0, nullptr) == 0;
}

namespace {

// Runs a shell command line with the system's administration tools on PATH; its
// standard output, or an exception naming what failed.
std::string administer(const std::string& commandLine) {
  ProgramRun run = runProgram({"/bin/sh", "-c", commandLine}, {"PATH=/usr/sbin:/sbin:/usr/bin:/bin"});
  if (run.exitStatus != 0) {
    throw std::runtime_error(commandLine + ": " + run.standardError);
  }
  return run.standardOutput;
}

}  // namespace

std::string loopFileSystemsUnavailable() {
  if (!enterPrivateMountNamespace()) {
    return "not root, or no private mount namespace";
  }
  ProgramRun tools = runProgram({"/bin/sh", "-c", "command -v mkfs.ext4 losetup xfs_io"},
                                {"PATH=/usr/sbin:/sbin:/usr/bin:/bin"});
  if (tools.exitStatus != 0) {
    return "mkfs.ext4, losetup or xfs_io (package xfsprogs) is missing";
  }
  if (runProgram({"/usr/sbin/losetup", "--find"}).exitStatus != 0) {
    return "no free loop device";
  }
  return "";
}

LoopFileSystem::LoopFileSystem(const std::string& image, const std::string& at, int megabytes) : at_(at) {
  administer("truncate -s " + std::to_string(megabytes) + "M '" + image + "' && mkfs.ext4 -q -F -O has_journal '" +
             image + "'");
  device_ = administer("losetup --find --show '" + image + "'");
  while (!device_.empty() && device_.back() == '\n') {
    device_.pop_back();
  }
  mountDevice();
}

LoopFileSystem::~LoopFileSystem() {
  ::umount2(at_.c_str(), MNT_DETACH);
  runProgram({"/usr/sbin/losetup", "-d", device_});
}

void LoopFileSystem::mountDevice() {
  if (::mount(device_.c_str(), at_.c_str(), "ext4", 0, nullptr) != 0) {
    throw std::runtime_error("mounting " + device_ + " at " + at_ + ": " + std::strerror(errno));
  }
}

void LoopFileSystem::cutPowerAndRemount() {
  administer("xfs_io -x -c shutdown '" + at_ + "'");
  if (::umount(at_.c_str()) != 0) {
    throw std::runtime_error("unmounting " + at_ + ": " + std::strerror(errno));
  }
  mountDevice();
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
