#pragma once

#include <string>
#include <string_view>

namespace installer {

// Runs `forExecution` with the two arguments "-c" and `arguments` (one whole command
// line, passed on unchanged), collects everything the child writes to standard output
// and standard error, and logs two records: "Given Command <program> <command line>"
// before the start and "terminationStatus : <status> output : <output>" after the end.
// Returns the exit status (or the number of the signal that killed the child) in
// decimal.  A child that cannot be started is logged in one record and reported as
// status 127, the shell's own status for a command it could not run.  The child gets
// the tool's environment in the C locale: LC_ALL=C, every other locale variable
// (LANG, LANGUAGE, LC_*) taken out.
std::string GetOutput(const std::string& forExecution, const std::string& arguments);

// The judgement every caller makes of GetOutput's result: success only for text that
// is a whole signed base-10 integer equal to 0.
bool commandSucceeded(std::string_view statusText);

}  // namespace installer
