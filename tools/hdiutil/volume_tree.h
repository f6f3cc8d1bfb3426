#pragma once

#include <optional>
#include <string>
#include <vector>

namespace installer::standin {

// Whether a name at the top of a volume is the file system's own bookkeeping, which
// a mounted Mac volume does not show: the HFS+ private folders, the journal files,
// the event store and the trash.
bool isFileSystemMetadata(const std::string& name);

// Makes a tree that 7-Zip extracted into `extractionFolder` look like the mounted
// volume at `root`: removes the metadata entries at its top and gives back absolute
// symbolic links the targets they have on the volume (7-Zip moves them under its
// output folder).  Nothing on success, else hdiutil's reason.
std::optional<std::string> tidyExtractedVolume(const std::string& root, const std::string& extractionFolder);

// Takes write permission from every file and folder in the tree (links stay as
// they are), so that the tree reads like a read-only volume.
void makeTreeReadOnly(const std::string& root);

// Gives the owner read, write and search permission on every folder in the tree, so
// that all of it can be removed.
void makeFoldersRemovable(const std::string& root);

// The mount points at `path` or below it, as this process sees them.
std::vector<std::string> mountPointsWithin(const std::string& path);

}  // namespace installer::standin
