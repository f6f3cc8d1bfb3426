#pragma once

#include "driver/run.h"
#include "driver/search.h"

namespace installer {

// The steps after the search, in the order main takes them.

// Logs where the bundle goes and copies it from the volume it was found on into the
// run's destination folder, replacing an older copy; true when it is in place.
bool installBundle(const Run& run, const FoundBundle& found);

// Removes the mount record, then detaches the volume the bundle was found on: always
// in that order, whatever became of the copy.
void cleanUp(const Run& run, const FoundBundle& found);

// Clears the installed bundle's hidden flag when it is set, and gives the exit status:
// 0, or 1 when the flag cannot be read or cleared (the mount record, gone already, is
// then looked for once more, which the log records).
int unhideInstalledBundle(const Run& run);

}  // namespace installer
