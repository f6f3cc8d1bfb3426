#pragma once

#include <optional>
#include <set>
#include <string>

#include "platform/result.h"

namespace installer::standin {

// The private folder that holds every mount point the stand-in makes, and the
// records that prove a folder in it is one of ours:
//   BASE/ID/NAME            a volume's mount point (ID random, NAME the volume's)
//   BASE/ID/.hdiutil-standin-mount   the marker beside it: token, disks, mount point
//   BASE/.ID.token          the same token, kept where only the stand-in writes
//   BASE/.ID.volume         the extracted tree behind a read-only bind mount
// BASE is $HDIUTIL_STANDIN_DIR, or hdiutil-standin-UID in $TMPDIR (or /tmp).  It must
// be a folder of the running user that nobody else may enter, inside a folder that
// nobody else may change (or a sticky one such as /tmp).
//
// openMountBase gives the base's path, absolute and without symbolic links, or why
// it cannot be used.  Base::create makes a missing base; with Base::existing a
// missing base is an Error.
enum class Base { existing, create };
Result<std::string> openMountBase(Base mode);

// A mount point of ours, with what its records say.
struct MountSlot {
  std::string id;
  std::string folder;      // BASE/ID
  std::string mountPoint;  // BASE/ID/NAME
  std::string token;
  std::string diskEntry;    // the image's whole disk, "/dev/disk4"
  std::string volumeEntry;  // the volume's own, "/dev/disk4s1"
};

// Makes a fresh BASE/ID and records a mount point for the volume `volumeName` in
// it (the mount point's folder itself is left for the caller to make).  On failure
// it takes back what it made.
Result<MountSlot> reserveMountPoint(const std::string& base, const std::string& volumeName,
                                    const std::string& diskEntry, const std::string& volumeEntry);

// The slot whose mount point is exactly `mountPoint`, when the records prove that the
// stand-in made it: the path must be BASE/ID/NAME as written (no symbolic link, no
// "." or ".."), the marker beside it must name that very path, and its token must
// match the one kept in the base.  Nothing for any other path.
std::optional<MountSlot> findOwnMountPoint(const std::string& base, const std::string& mountPoint);

// Where the extracted tree of a bind-mounted volume is kept.
std::string boundVolumePath(const std::string& base, const MountSlot& slot);

// Removes the mount point, its folder, its records and a bound tree, stopping at the
// first item it cannot remove.  The caller has made sure nothing is mounted there.
Result<void> releaseMountPoint(const std::string& base, const MountSlot& slot);

// The disk numbers the live mount points in the base use.
std::set<int> disksInUse(const std::string& base);

}  // namespace installer::standin
