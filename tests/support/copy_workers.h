#pragma once

#include <cstdlib>
#include <string>

#include "install/copy_tree.h"

namespace testing_support {

// The workers the copies in tests run with: IMAGE_INSTALLER_TEST_COPY_WORKERS when
// it is set (ctest runs the copy tests once more with 1), the tool's default
// otherwise.
inline size_t copyWorkers() {
  const char* asked = std::getenv("IMAGE_INSTALLER_TEST_COPY_WORKERS");
  return asked != nullptr ? std::stoul(asked) : installer::defaultCopyWorkers();
}

}  // namespace testing_support
