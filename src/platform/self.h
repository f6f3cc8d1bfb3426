#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace installer {

// Absolute path of the running executable with symbolic links resolved, or nothing
// when the system cannot tell.
std::optional<std::string> executablePath();

// The main bundle's location: for a bare executable the folder that holds it; for an
// executable inside an application bundle (macOS) the bundle's own folder.
std::optional<std::string> mainBundleLocation();

// The file name the program was started under, for log records.
std::string programName();

// The calling thread's system-wide id.
std::uint64_t currentThreadId();

}  // namespace installer
