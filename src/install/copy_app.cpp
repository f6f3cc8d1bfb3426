#include "install/copy_app.h"

#include "install/replace_item.h"
#include "platform/log.h"

namespace installer {

namespace {

// The processes named in a log line, at most this many: the rest are counted.
constexpr size_t kNamedProcesses = 5;

// "123, 456", or "123, 456, 789, 1011, 1213 and 2 more".
std::string processList(const std::vector<pid_t>& ids) {
  std::string list;
  for (size_t i = 0; i < ids.size() && i < kNamedProcesses; ++i) {
    list += (i == 0 ? "" : ", ") + std::to_string(ids[i]);
  }
  if (ids.size() > kNamedProcesses) {
    list += " and " + std::to_string(ids.size() - kNamedProcesses) + " more";
  }
  return list;
}

}  // namespace

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
  // The old executable lives on while it runs, but what the app opens by path from
  // now on is the new version's.
  if (!replaced->running.empty()) {
    logMessage("The app was running while it was replaced, and may misbehave until it is reopened: " +
               printable(toLocation) + " (process ids " + processList(replaced->running) + ")");
  }
  logMessage("App Copied successfully");
  if (replaced->leftover) {
    logMessage("The replaced copy of the app could not be removed: " + replaced->leftover->description);
  }
  return true;
}

}  // namespace installer
