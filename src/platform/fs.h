#pragma once

#include <optional>
#include <string>
#include <vector>

namespace installer {

// Whether anything (file, folder, link, even a dangling one) stands at `path`.
bool itemExists(const std::string& path);

struct FileContents {
  std::optional<std::string> bytes;  // nothing when the read failed
  std::string error;                 // the failure's description
};

// Reads the whole file at `path`.
FileContents readWholeFile(const std::string& path);

struct FolderListing {
  std::optional<std::vector<std::string>> names;  // nothing when the listing failed
  std::string error;                              // the failure's description
};

// The names of the entries directly inside the folder at `path`, hidden ones
// included, "." and ".." left out, in the order the file system returns them.
FolderListing listFolder(const std::string& path);

// Removes the item at `path`, a folder with everything inside it; never follows a
// symbolic link (a link is removed itself).  Nothing on success, else the
// failure's description.
std::optional<std::string> removeItem(const std::string& path);

}  // namespace installer
