#pragma once

#include <sys/stat.h>

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

// What the self-test sets and reads on items beyond their contents and modes, where
// Linux and macOS keep it differently: item_state_linux.cpp and item_state_macos.cpp.
// Everything acts on the item itself: a symbolic link is never followed.
namespace installer::selftest {

// Sets the extended attribute `name` of the item at `path`, or of the open file `file`
// (`shownPath` names it in the Error).
Result<void> setAttribute(const std::string& path, const std::string& name, std::string_view value);
Result<void> setAttribute(int file, const std::string& name, std::string_view value, std::string_view shownPath);

// The names of the attributes a copy keeps on the item: user.* on Linux, all of them
// on macOS.
Result<std::vector<std::string>> attributeNames(const std::string& path);

// The value of one attribute; nothing when the item has no such attribute.
Result<std::optional<std::string>> attributeValue(const std::string& path, const std::string& name);

// Whether an Error from the calls above says that the file system keeps no extended
// attributes (of this kind) at all.
bool attributesUnsupported(const Error& error);

// The attribute that holds a file's resource fork ("com.apple.ResourceFork"); nothing
// where files have no resource forks.
std::optional<std::string> resourceForkAttribute();

// The attribute that holds the hidden flag the tool reads ("user.hidden" on Linux);
// nothing where the flag is a file flag (macOS's UF_HIDDEN).
std::optional<std::string> hiddenFlagAttribute();

// Sets the hidden flag the tool reads and clears: UF_HIDDEN through lchflags on macOS,
// the attribute user.hidden holding "1" on Linux.
Result<void> setHiddenFlag(const std::string& path);

// Whether that flag is set, read without the tool's own reader.
Result<bool> hiddenFlagSet(const std::string& path);

// The access and modification times in a status.
timespec accessTimeOf(const struct stat& status);
timespec modificationTimeOf(const struct stat& status);

}  // namespace installer::selftest
