#pragma once

#include <string>
#include <vector>

#include "platform/result.h"

namespace installer {

// What became of a child process started by runMerged.
struct ChildOutcome {
  // The exit code of a child that exited, or the signal number of one that was
  // killed by a signal.
  int status = 0;
  bool killedBySignal = false;
  // Everything the child wrote to standard output and standard error, in order.
  std::string output;
};

// Starts `program` (a path, not searched on PATH) with `arguments` (argv[0] first) and
// the environment `environment` ("NAME=value" each), with one pipe serving as both its
// standard output and standard error.  The child inherits the current folder and
// standard input.  Reads the pipe to end of file, then waits for the child.  Blocks
// until both are done.  An Error when the child could not be started (or not waited
// for).
Result<ChildOutcome> runMerged(const std::string& program, const std::vector<std::string>& arguments,
                               const std::vector<std::string>& environment);

// This process's environment, "NAME=value" each.
std::vector<std::string> currentEnvironment();

// Opens /dev/null on whichever of standard input, output and error is closed, so that
// no file the tool opens later can take one of those numbers and receive log records
// or a child's output by accident.
void ensureStandardDescriptorsOpen();

// Makes a write to a pipe whose reader has gone fail with EPIPE instead of ending the
// process, so that a deployment agent that stops reading the log midway cannot cut
// an install short between the copy and the clean-up.  Children started by runMerged
// still get the default disposition.
void ignoreBrokenPipeSignals();

}  // namespace installer
