#pragma once

#include <cstddef>
#include <vector>

#include "selftest/report.h"
#include "selftest/workspace.h"

namespace installer::selftest {

// Times the tool's copy (replaceWithCopy) against cp -a and, on macOS, ditto, on a
// typical bundle (see sample_bundle.h) in the workspace: a fresh install and the
// replacement of an installed copy (rm -rf DST first for the others), `passes` times
// in an order that rotates from pass to pass, the source warm in the cache and
// written-back data flushed between runs (untimed).  Prints each pass, the median
// times and the median and range of the per-pass ratios of the tool to each other
// program; returns the report's lines.
std::vector<CheckLine> runBenchmark(const Workspace& workspace, size_t passes);

}  // namespace installer::selftest
