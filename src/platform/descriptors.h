#pragma once

#include <cstddef>

namespace installer {

// How many more descriptors this process may open now: its limit (RLIMIT_NOFILE, at
// most a million counted) less those it holds.  Where /dev/fd cannot be listed, the
// numbers below the limit that no descriptor holds, asked after one by one among the
// first 65,536 (far more than any copy or removal uses).
size_t freeDescriptors();

}  // namespace installer
