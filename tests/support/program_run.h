#pragma once

#include <string>
#include <vector>

namespace testing_support {

// What a finished program run gave.
struct ProgramRun {
  int exitStatus = -1;        // exit code, or 128 + signal
  std::string standardError;  // the tool's log
  std::string standardOutput;
};

// Runs argv[0] (a path) with the given arguments, standard input from /dev/null, the
// current environment plus `extraEnvironment` ("NAME=value", later ones win), in
// `folder` when given.
ProgramRun runProgram(const std::vector<std::string>& argv,
                      const std::vector<std::string>& extraEnvironment = {},
                      const std::string& folder = "");

}  // namespace testing_support
