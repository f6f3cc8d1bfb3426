#include "install/unhide.h"

#include "image/mount.h"
#include "image/unmount.h"
#include "platform/hidden.h"
#include "platform/log.h"

namespace installer {

namespace {

bool failed(const std::string& description) {
  logMessage(" checkAndUnhideApp : Getting/Setting App attributes Failed!!!!! " + description);
  removeFiles(mountRecordPath());
  return false;
}

}  // namespace

bool checkAndUnhideApp(const std::string& path) {
  HiddenFlag flag = readHiddenFlag(path);
  if (!flag.hidden) {
    return failed(flag.error);
  }
  if (!*flag.hidden) {
    return true;
  }
  logMessage("App is hidden, Hence Unhid app");
  if (auto error = clearHiddenFlag(path)) {
    return failed(*error);
  }
  return true;
}

}  // namespace installer
