#include "install/unhide.h"

#include "platform/hidden.h"
#include "platform/log.h"

namespace installer {

namespace {

bool failed(const Error& error) {
  logMessage(" checkAndUnhideApp : Getting/Setting App attributes Failed!!!!! " + error.description);
  return false;
}

}  // namespace

bool checkAndUnhideApp(const std::string& path) {
  Result<bool> hidden = readHiddenFlag(path);
  if (!hidden) {
    return failed(hidden.error());
  }
  if (!*hidden) {
    return true;
  }
  logMessage("App is hidden, Hence Unhid app");
  if (Result<void> cleared = clearHiddenFlag(path); !cleared) {
    return failed(cleared.error());
  }
  return true;
}

}  // namespace installer
