#pragma once

#include <string>
#include <vector>

#include "platform/result.h"

namespace installer::standin {

// Makes a tree that 7-Zip extracted into `extractionFolder` look like the mounted
// volume at `root`: removes the `hidden` names at its top (what the file system's
// driver keeps out of sight) and gives back absolute symbolic links the targets they
// have on the volume (7-Zip moves them under its output folder).  Stops at the first
// item it cannot remove or restore.
Result<void> tidyExtractedVolume(const std::string& root, const std::string& extractionFolder,
                                 const std::vector<std::string>& hidden);

// Takes write permission from every file and folder in the tree (links stay as
// they are), so that the tree reads like a read-only volume.
void makeTreeReadOnly(const std::string& root);

// Gives the owner read, write and search permission on every folder in the tree, so
// that all of it can be removed.
void makeFoldersRemovable(const std::string& root);

// The mount points at `path` or below it, as this process sees them.
std::vector<std::string> mountPointsWithin(const std::string& path);

}  // namespace installer::standin
