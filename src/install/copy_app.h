#pragma once

#include <string>

#include "install/copy_tree.h"

namespace installer {

// Puts a copy of the bundle at `path` at `toLocation` (the bundle's own path at the
// destination), replacing whatever stands there, with `workers` filling its files
// (see copyTree).
// Logs the outcome; true when the copy is in place.
bool copyApp(const std::string& path, const std::string& toLocation, size_t workers = defaultCopyWorkers());

}  // namespace installer
