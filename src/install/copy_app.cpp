#include "install/copy_app.h"

#include "install/replace_item.h"
#include "platform/log.h"

namespace installer {

bool copyApp(const std::string& path, const std::string& toLocation, size_t workers) {
  Result<Replacement> replaced = replaceWithCopy(path, toLocation, systemFolderChanges(), workers);
  if (!replaced) {
    logMessage("App Copied Failed!!!!!!!!!!! " + replaced.error().description);
    return false;
  }
  // Said once the old copy has given way, which is only after the new one is whole.
  if (replaced->replacedExisting) {
    logMessage("App already exist , hence replacing");
  }
  logMessage("App Copied successfully");
  if (replaced->leftover) {
    logMessage("The replaced copy of the app could not be removed: " + replaced->leftover->description);
  }
  return true;
}

}  // namespace installer
