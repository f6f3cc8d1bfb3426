#pragma once

#include <sys/types.h>

// Stopping a child process of the test at a chosen moment, where the system lets a
// test watch another process's system calls (ptrace on Linux): tracing_linux.cpp and
// tracing_macos.cpp.  On macOS nothing can be watched and the tests that need it skip.
namespace testing_support {

// In a forked child, before the code to watch: asks to be traced and stops until the
// parent goes on with it.  Ends the child with status 125 where that is not possible.
void stopForTracer();

// The moments a traced child can be held at.
enum class Moment {
  firstFolderCreated,    // its first mkdir has returned
  firstRenameDone,       // its first rename, of any kind, has returned
  aboutToStartAProcess,  // it is about to ask for a new process (fork, vfork, clone)
};

// In the parent: lets the child that called stopForTracer() run until `moment`, and
// keeps it stopped there.  False when that cannot be watched here or the child ended
// first.
bool runUntil(pid_t child, Moment moment);

// Lets a child stopped by one of the above run on, untraced.
bool releaseTracedChild(pid_t child);

}  // namespace testing_support
