#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "support/item_state.h"
#include "support/program_run.h"
#include "support/tree_snapshot.h"

namespace testing_support {

// The cross toolchain's macOS headers have no <sys/xattr.h>, so extended attributes
// go through the system's own xattr command; -s acts on a link itself.

std::vector<std::string> keptAttributeNames(const std::string& path) {
  ProgramRun run = runProgram({"/usr/bin/xattr", "-s", path});
  std::vector<std::string> names;
  std::istringstream lines(run.standardOutput);
  for (std::string name; std::getline(lines, name);) {
    if (!name.empty()) {
      names.push_back(name);
    }
  }
  return names;
}

std::string attributeOf(const std::string& path, const std::string& name) {
  // -x: the value in hexadecimal, so that any bytes come through.
  ProgramRun run = runProgram({"/usr/bin/xattr", "-s", "-p", "-x", name, path});
  if (run.exitStatus != 0) {
    return "<none>";
  }
  std::string value;
  std::istringstream digits(run.standardOutput);
  for (unsigned byte = 0; digits >> std::hex >> byte;) {
    value.push_back(static_cast<char>(byte));
  }
  return value;
}

void setAttribute(const std::string& path, const std::string& name, const std::string& value) {
  std::string hex;
  for (unsigned char byte : value) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", byte);
    hex += digits;
  }
  ProgramRun run = runProgram({"/usr/bin/xattr", "-s", "-w", "-x", name, hex, path});
  if (run.exitStatus != 0) {
    throw std::runtime_error("setting " + name + " on " + path + ": " + run.standardError);
  }
}

timespec accessTimeOf(const struct stat& status) { return status.st_atimespec; }
timespec modificationTimeOf(const struct stat& status) { return status.st_mtimespec; }
timespec changeTimeOf(const struct stat& status) { return status.st_ctimespec; }

const bool kHiddenFlagIsAnAttribute = false;

namespace {

bool changeFlag(const std::string& path, unsigned flag, bool set) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    return false;
  }
  unsigned flags = set ? status.st_flags | flag : status.st_flags & ~flag;
  return ::lchflags(path.c_str(), flags) == 0;
}

}  // namespace

void hideItem(const std::string& path) {
  if (!changeFlag(path, UF_HIDDEN, true)) {
    throw std::runtime_error("hiding " + path + ": " + std::strerror(errno));
  }
}

bool itemHidden(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 && (status.st_flags & UF_HIDDEN) != 0;
}

bool setImmutable(const std::string& path, bool immutable) { return changeFlag(path, UF_IMMUTABLE, immutable); }

bool makeCharacterDevice(const std::string& path) {
  return ::mknod(path.c_str(), S_IFCHR | 0666, makedev(3, 2)) == 0;
}

}  // namespace testing_support
