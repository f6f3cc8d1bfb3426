#include "install/copy_app.h"

#include "install/replace_item.h"
#include "platform/log.h"

namespace installer {

bool copyApp(const std::string& path, const std::string& toLocation) {
  Replacement replacement = replaceWithCopy(path, toLocation);
  if (replacement.failure) {
    logMessage("App Copied Failed!!!!!!!!!!! " + *replacement.failure);
    return false;
  }
  // Said once the old copy has given way, which is only after the new one is whole.
  if (replacement.replacedExisting) {
    logMessage("App already exist , hence replacing");
  }
  logMessage("App Copied successfully");
  if (replacement.leftover) {
    logMessage("The replaced copy of the app could not be removed: " + *replacement.leftover);
  }
  return true;
}

}  // namespace installer
