#pragma once

#include <cstddef>

namespace installer {

// How many more descriptors this process may open now: its limit (RLIMIT_NOFILE, at
// most a million counted) less those it holds.
size_t freeDescriptors();

}  // namespace installer
