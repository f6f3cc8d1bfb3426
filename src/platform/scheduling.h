#pragma once

#include <cstddef>

namespace installer {

// How much of the machine the tool takes: scheduling_linux.cpp and scheduling_macos.cpp.

// The number of processors this process may run on, at least 1: those its affinity
// allows on Linux (so a run pinned with taskset counts one), all that are active on
// macOS.
size_t usableProcessors();

// Marks the process's disk reads and writes from now on as background work, which
// the system holds back while the user's own programs use the disk: the utility class
// on macOS.  Nothing on Linux, where the tool is built for testing.  Best effort: a
// system that refuses leaves the priority as it was.
void lowerIoPriority();

}  // namespace installer
