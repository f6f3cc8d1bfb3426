#pragma once

#include <optional>
#include <string>

// What the report says about the machine, and what differs between the systems the
// checks run on: system_facts_linux.cpp and system_facts_macos.cpp.
namespace installer::selftest {

struct SystemFacts {
  // The system, its version and build: "macOS 14.5 (23F79)", "Linux 6.1.0-18-amd64 (#1 SMP ...)".
  std::string system;
  // The machine's architecture as `uname -m` says it: "arm64", "x86_64".
  std::string architecture;
  // On macOS whether the process runs natively or translated by Rosetta; nothing on
  // Linux.
  std::optional<std::string> translation;
};

SystemFacts systemFacts();

// The kind of file system that holds `path`: "apfs", "hfs", "ext4", "tmpfs", ...
std::string fileSystemName(const std::string& path);

// Apple's ditto, for the benchmark; nothing where the system has none.
std::optional<std::string> dittoProgram();

}  // namespace installer::selftest
