#pragma once

#include <string>

#include "mount_base.h"
#include "platform/result.h"

namespace installer::standin {

// Puts the extracted volume tree at `root` at the slot's mount point, read-only:
// as a read-only bind mount (nosuid, nodev) when the stand-in runs as root and may
// mount, else by moving the tree there and taking write permission from it.
Result<void> presentVolume(const std::string& base, const MountSlot& slot, const std::string& root);

// Takes away a bind mount at the slot's mount point, if there is one.  A busy mount
// goes lazily with Withdrawal::force; with Withdrawal::gentle it stays, and the
// Error says it is busy.
enum class Withdrawal { gentle, force };
Result<void> withdrawVolume(const MountSlot& slot, Withdrawal withdrawal);

}  // namespace installer::standin
