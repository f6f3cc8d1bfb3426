#include "selftest/hidden_check.h"

#include "platform/hidden.h"
#include "selftest/item_state.h"

namespace installer::selftest {

namespace {

Outcome hideAndUnhide(const std::string& bundle) {
  if (Result<void> hidden = setHiddenFlag(bundle); !hidden) {
    if (attributesUnsupported(hidden.error())) {
      return skipped("the file system here cannot hold the hidden flag: " + hidden.error().description);
    }
    return failed(hidden.error().description);
  }
  Result<bool> seen = readHiddenFlag(bundle);
  if (!seen) {
    return failed(seen.error().description);
  }
  if (!*seen) {
    return failed("readHiddenFlag does not see the flag just set");
  }
  if (Result<void> cleared = clearHiddenFlag(bundle); !cleared) {
    return failed(cleared.error().description);
  }
  Result<bool> after = readHiddenFlag(bundle);
  Result<bool> really = hiddenFlagSet(bundle);
  if (!after || !really) {
    return failed((!after ? after.error() : really.error()).description);
  }
  if (*after || *really) {
    return failed(*after ? "readHiddenFlag still sees the flag after clearHiddenFlag"
                         : "clearHiddenFlag left the flag set (the tool's own reading says it is clear)");
  }
  return passed();
}

}  // namespace

std::vector<CheckLine> hiddenFlagChecks(const Workspace& workspace) {
  Result<std::string> bundle = makeFolder(workspace, "Hidden.app");
  if (!bundle) {
    return {{"hidden flag: setting up", failed(bundle.error().description)}};
  }
  return {{"hide a bundle, unhide it as the tool does", hideAndUnhide(*bundle)}};
}

}  // namespace installer::selftest
