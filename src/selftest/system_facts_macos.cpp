// macOS: the product version and build from sysctl (what sw_vers prints), Rosetta's
// sysctl.proc_translated, and the file system's own type name from statfs.
#include <sys/mount.h>
#include <sys/sysctl.h>
#include <sys/utsname.h>

#include <cerrno>

#include "selftest/system_facts.h"

namespace installer::selftest {

namespace {

std::optional<std::string> textValue(const char* name) {
  char value[256];
  size_t size = sizeof value;
  if (::sysctlbyname(name, value, &size, nullptr, 0) != 0 || size == 0) {
    return std::nullopt;
  }
  return std::string(value, size - 1);  // without its NUL
}

}  // namespace

SystemFacts systemFacts() {
  SystemFacts facts;
  std::optional<std::string> version = textValue("kern.osproductversion");
  std::optional<std::string> build = textValue("kern.osversion");
  facts.system = "macOS " + version.value_or("(version unknown)") + " (" + build.value_or("build unknown") + ")";
  utsname names {};
  facts.architecture = ::uname(&names) == 0 ? names.machine : "unknown";
  // 1 under Rosetta, 0 natively; ENOENT on a Mac that has no translation at all.
  int translated = 0;
  size_t size = sizeof translated;
  if (::sysctlbyname("sysctl.proc_translated", &translated, &size, nullptr, 0) != 0) {
    facts.translation = errno == ENOENT ? "native (no translation on this Mac)" : "unknown";
  } else {
    facts.translation = translated == 1 ? "translated by Rosetta" : "native";
  }
  return facts;
}

std::string fileSystemName(const std::string& path) {
  struct statfs status {};
  if (::statfs(path.c_str(), &status) != 0) {
    return "unknown";
  }
  return status.f_fstypename;
}

std::optional<std::string> dittoProgram() { return std::string("/usr/bin/ditto"); }

}  // namespace installer::selftest
