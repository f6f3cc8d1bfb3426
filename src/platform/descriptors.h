#pragma once

#include <cstddef>

namespace installer {

// How many more descriptors this process may open now: its limit (RLIMIT_NOFILE, at
// most a million counted) less those it holds.  Where /dev/fd cannot be listed, the
// numbers below the limit that no descriptor holds, asked after one by one among the
// first 65,536 (far more than any copy or removal uses).
size_t freeDescriptors();

// Has the system make room in this process's table of descriptors for `more` beyond
// those open now (as far as the limit allows), with `anyOpen` as the one to copy.  A
// copy asks for what it may hold before its threads start: the table grows by
// doubling, and on Linux each doubling past 128 while threads share the table waits
// for an RCU grace period (8 to 20 ms measured here); grown first, it never waits.
void makeRoomForDescriptors(int anyOpen, size_t more);

}  // namespace installer
