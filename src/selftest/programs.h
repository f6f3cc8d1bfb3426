#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"

// Other programs the checks run: hdiutil create, xorriso, log, cp, ditto.
namespace installer::selftest {

// The first executable file named `name` in the folders of $PATH.
std::optional<std::string> findOnPath(const std::string& name);

// Runs `program` (a path) with `arguments` (argv[0] first) and waits for it.  An
// Error unless it exits with status 0: "<program> ended with status N: <its output>".
// `output`, when given, receives what it wrote to standard output and error.
Result<void> runProgram(const std::string& program, const std::vector<std::string>& arguments,
                        std::string* output = nullptr);

// The folder that holds the running executable.
std::optional<std::string> executableFolder();

// Sixteen random hexadecimal digits.
std::string randomToken();

}  // namespace installer::selftest
