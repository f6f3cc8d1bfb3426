#include "image/unmount.h"

#include "platform/log.h"

namespace installer {

// Placeholder until detaching is built.
std::string detachCommandLine(const std::string& mountPoint) {
  return "hdiutil detach -force \"" + mountPoint + "\"";
}

void unmountDMG(const std::string&) {}

void removeFiles(const std::string&) {}

}  // namespace installer
