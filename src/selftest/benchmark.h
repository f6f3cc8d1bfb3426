#pragma once

#include <cstddef>
#include <vector>

#include "selftest/image_tools.h"
#include "selftest/report.h"
#include "selftest/workspace.h"

namespace installer::selftest {

// Times the tool's copy (replaceWithCopy) against cp -a and, on macOS, ditto, on a
// typical bundle (see sample_bundle.h): a fresh install and the replacement of an
// installed copy (rm -rf DST first for the others), `passes` times in an order that
// rotates from pass to pass, written-back data flushed between runs (untimed).  First
// from a folder in the workspace, warm in the cache; then as an install copies, from
// the volume of a compressed image of that folder (makeCompressedImage) attached with
// the tool's mount step before each run and detached after it, untimed.  For each,
// prints each pass, the median times and the median and range of the per-pass ratios
// of the tool to each other program; returns the report's lines.
std::vector<CheckLine> runBenchmark(const Workspace& workspace, const ImageTools& tools, size_t passes);

}  // namespace installer::selftest
