// Linux: uname, and statfs's magic numbers for the file systems a test machine has.
#include <sys/statfs.h>
#include <sys/utsname.h>

#include <cstdio>
#include <utility>

#include "selftest/system_facts.h"

namespace installer::selftest {

SystemFacts systemFacts() {
  SystemFacts facts;
  utsname names {};
  if (::uname(&names) != 0) {
    facts.system = "Linux (uname failed)";
    facts.architecture = "unknown";
    return facts;
  }
  facts.system = std::string(names.sysname) + " " + names.release + " (" + names.version + ")";
  facts.architecture = names.machine;
  return facts;
}

std::string fileSystemName(const std::string& path) {
  struct statfs status {};
  if (::statfs(path.c_str(), &status) != 0) {
    return "unknown";
  }
  static const std::pair<unsigned long, const char*> kKnown[] = {
      {0xEF53, "ext4"},       {0x01021994, "tmpfs"}, {0x58465342, "xfs"},   {0x9123683E, "btrfs"},
      {0x794C7630, "overlay"}, {0x6969, "nfs"},       {0x2FC12FC1, "zfs"},   {0xF2F52010, "f2fs"},
      {0x65735546, "fuse"},    {0x4D44, "vfat"},      {0x5346544E, "ntfs"},
  };
  auto type = static_cast<unsigned long>(status.f_type);
  for (const auto& [magic, name] : kKnown) {
    if (magic == type) {
      return name;
    }
  }
  char unknown[32];
  std::snprintf(unknown, sizeof unknown, "type 0x%lX", type);
  return unknown;
}

std::optional<std::string> dittoProgram() { return std::nullopt; }

}  // namespace installer::selftest
