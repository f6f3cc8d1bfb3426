#include "install/unhide.h"

namespace installer {

// Placeholder until the hidden flag is handled.
bool checkAndUnhideApp(const std::string&) { return true; }

}  // namespace installer
