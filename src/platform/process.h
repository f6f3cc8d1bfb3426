#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "platform/result.h"

namespace installer {

// How long a child may run, and how long each step of ending it may take.
struct TimeLimit {
  // From the start until the child and all it started are told to stop.
  std::chrono::milliseconds limit;
  // How long what was told to stop (SIGTERM) has before it is killed (SIGKILL).  Also
  // how long output is still read once the child has exited while something it
  // started holds the pipe open.
  std::chrono::milliseconds grace;
};

// How a child came to an end.
enum class Ending { Exited, KilledBySignal, StoppedAfterTimeLimit };

// What became of a child process started by runMerged.
struct ChildOutcome {
  Ending ending = Ending::Exited;
  // The exit code of a child that exited, the signal number of one that was killed by
  // a signal; for one stopped after its time limit, whichever of the two it ended with
  // (-1 if it could not even be killed).
  int status = 0;
  // Everything the child wrote to standard output and standard error, in order; for a
  // child that was stopped, what it wrote until then.
  std::string output;
};

// Starts `program` (a path, not searched on PATH) with `arguments` (argv[0] first) and
// the environment `environment` ("NAME=value" each), in a process group of its own,
// with one pipe serving as both its standard output and standard error.  The child
// inherits the current folder and standard input.  Reads the pipe while waiting for
// the child, and returns:
// - once the child has exited and the pipe has reached end of file;
// - or, when the child has exited but something it started still holds the pipe,
//   after `limit.grace` more of reading; what is left of its group is then stopped
//   (SIGTERM, and SIGKILL after another `limit.grace`);
// - or, when `limit.limit` passes first, after stopping the whole group the same way:
//   Ending::StoppedAfterTimeLimit.
// A process that cannot even be killed (stuck in the kernel) is left behind after a
// last `limit.grace`, so the call always returns by about limit + 2 * grace.  An Error
// when the child could not be started.
Result<ChildOutcome> runMerged(const std::string& program, const std::vector<std::string>& arguments,
                               const std::vector<std::string>& environment, const TimeLimit& limit);

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
