#include "install/copy_app.h"

#include "install/replace_item.h"
#include "platform/log.h"
#include "platform/scheduling.h"

namespace installer {

bool copyApp(const std::string& path, const std::string& toLocation, size_t workers) {
  // An install is pushed to the machine, not awaited by its user: it should not
  // stall the programs the user is working with.
  lowerIoPriority();
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
