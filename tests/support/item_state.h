#pragma once

#include <sys/stat.h>

#include <ctime>
#include <string>
#include <vector>

#include "selftest/item_state.h"

// What tests read and set on items beyond their contents and modes, where Linux and
// macOS keep it differently: item_state.cpp, over the self-test's own, and
// item_state_linux.cpp and item_state_macos.cpp.
namespace testing_support {

// The names of the extended attributes a copy keeps on the item at `path` itself (a
// link is not followed): the user.* ones on Linux, all of them on macOS.
std::vector<std::string> keptAttributeNames(const std::string& path);

// The access and modification times in `status`, and its status change time.
using installer::selftest::accessTimeOf;
using installer::selftest::modificationTimeOf;
timespec changeTimeOf(const struct stat& status);

// The hidden flag as the tool reads it: the attribute user.hidden holding "1" on
// Linux, the file flag UF_HIDDEN on macOS.  Set, or read, on the item itself.
extern const bool kHiddenFlagIsAnAttribute;
void hideItem(const std::string& path);
bool itemHidden(const std::string& path);

// Sets or clears the flag that keeps a file from being changed or removed (Linux's
// immutable attribute, macOS's UF_IMMUTABLE).  False where the file system or the
// user's rights do not allow it.
bool setImmutable(const std::string& path, bool immutable);

// Makes a character device node (the null device's numbers) at `path`; false when
// that needs rights the test does not have.
bool makeCharacterDevice(const std::string& path);

}  // namespace testing_support
