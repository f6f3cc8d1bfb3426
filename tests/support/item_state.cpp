// What both systems share: attributes and the hidden flag go through the self-test's
// own readers and writers, which act on the item itself.
#include <stdexcept>

#include "support/item_state.h"
#include "support/tree_snapshot.h"

namespace testing_support {

namespace selftest = installer::selftest;

std::vector<std::string> keptAttributeNames(const std::string& path) {
  auto names = selftest::attributeNames(path);
  return names ? *names : std::vector<std::string>{};
}

std::string attributeOf(const std::string& path, const std::string& name) {
  auto value = selftest::attributeValue(path, name);
  return value && *value ? **value : "<none>";
}

void setAttribute(const std::string& path, const std::string& name, const std::string& value) {
  if (auto set = selftest::setAttribute(path, name, value); !set) {
    throw std::runtime_error(set.error().description);
  }
}

const bool kHiddenFlagIsAnAttribute = selftest::hiddenFlagAttribute().has_value();

void hideItem(const std::string& path) {
  if (auto hidden = selftest::setHiddenFlag(path); !hidden) {
    throw std::runtime_error(hidden.error().description);
  }
}

bool itemHidden(const std::string& path) {
  auto hidden = selftest::hiddenFlagSet(path);
  return hidden && *hidden;
}

}  // namespace testing_support
