#include "presentation.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/error.h"
#include "volume_tree.h"

namespace installer::standin {

namespace {

bool bindReadOnly(const std::string& source, const std::string& mountPoint) {
  if (::mkdir(mountPoint.c_str(), 0755) != 0) {
    return false;
  }
  if (::mount(source.c_str(), mountPoint.c_str(), nullptr, MS_BIND, nullptr) == 0) {
    // A bind mount takes its flags only when remounted.
    unsigned long flags = MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOSUID | MS_NODEV;
    if (::mount(nullptr, mountPoint.c_str(), nullptr, flags, nullptr) == 0) {
      return true;
    }
    ::umount2(mountPoint.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW);
  }
  ::rmdir(mountPoint.c_str());
  return false;
}

}  // namespace

Result<void> presentVolume(const std::string& base, const MountSlot& slot, const std::string& root) {
  // Only a bind mount keeps root itself from writing; where mounting is not
  // allowed, file permissions keep everyone else out.
  if (::geteuid() == 0) {
    std::string kept = boundVolumePath(base, slot);
    if (std::rename(root.c_str(), kept.c_str()) == 0) {
      if (bindReadOnly(kept, slot.mountPoint)) {
        return {};
      }
      std::rename(kept.c_str(), root.c_str());
    }
  }
  if (std::rename(root.c_str(), slot.mountPoint.c_str()) != 0) {
    return systemError(errno, "moving the volume to", slot.mountPoint);
  }
  makeTreeReadOnly(slot.mountPoint);
  return {};
}

Result<void> withdrawVolume(const MountSlot& slot, Withdrawal withdrawal) {
  int flags = UMOUNT_NOFOLLOW | (withdrawal == Withdrawal::force ? MNT_DETACH : 0);
  if (::umount2(slot.mountPoint.c_str(), flags) == 0) {
    return {};
  }
  // EINVAL: nothing is mounted there (a tree made read-only in place, or a bind
  // mount whose namespace has ended).  EPERM: this user could not have mounted it.
  if (errno == EINVAL || errno == EPERM) {
    return {};
  }
  return Error{errno, errorText(errno)};
}

}  // namespace installer::standin
