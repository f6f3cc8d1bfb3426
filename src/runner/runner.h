#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "platform/process.h"

namespace installer {

// Runs `forExecution` with the two arguments "-c" and `arguments` (one whole command
// line, passed on unchanged), in a process group of its own, collects everything the
// child writes to standard output and standard error, and logs two records: "Given
// Command <program> <command line>" before the start and "terminationStatus : <status>
// output : <output>" after the end.  Returns the exit status (or the number of the
// signal that killed the child) in decimal.  When `limit.limit` passes first, the
// command and all it started are stopped (see runMerged), "Command stopped after its
// time limit of <limit>: <program> <command line>" is logged before the second record,
// which holds what it wrote until then, and the status is 124.  A command that exits
// while something it started holds its output open is waited for, not the leftover.
// A child that cannot be started is logged in one record and reported as status 127,
// the shell's own status for a command it could not run.  The child gets the tool's
// environment in the C locale: LC_ALL=C, every other locale variable (LANG, LANGUAGE,
// LC_*) taken out.
std::string GetOutput(const std::string& forExecution, const std::string& arguments, const TimeLimit& limit);

// A duration as the log names a limit: "20 minutes", "1 second", "250 milliseconds".
std::string describeDuration(std::chrono::milliseconds duration);

// The judgement every caller makes of GetOutput's result: success only for text that
// is a whole signed base-10 integer equal to 0.
bool commandSucceeded(std::string_view statusText);

}  // namespace installer
