#pragma once

#include <optional>
#include <string>

#include "mount_base.h"

namespace installer::standin {

// Puts the extracted volume tree at `root` at the slot's mount point, read-only:
// as a read-only bind mount (nosuid, nodev) when the stand-in runs as root and may
// mount, else by moving the tree there and taking write permission from it.
// Nothing on success, else the reason.
std::optional<std::string> presentVolume(const std::string& base, const MountSlot& slot, const std::string& root);

// Takes away a bind mount at the slot's mount point, if there is one; `force` lets a
// busy mount go lazily.  Nothing on success, else the reason.
std::optional<std::string> withdrawVolume(const MountSlot& slot, bool force);

}  // namespace installer::standin
