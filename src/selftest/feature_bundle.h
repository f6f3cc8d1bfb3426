#pragma once

#include <map>
#include <string>

#include "platform/result.h"
#include "selftest/tree_compare.h"

// A small bundle with one of everything the tool's copy must keep: nested folders,
// hard links, relative, absolute and dangling symbolic links, a sparse file, extended
// attributes, a resource fork (macOS), a hidden item, unusual permission modes and
// distinct times to the nanosecond on every item.
namespace installer::selftest {

struct FeatureBundle {
  // What this file system (or system) cannot hold, so the copy cannot be checked on
  // it: the aspect and the reason.
  std::map<Aspect, std::string> cannotHold;
};

// Makes the bundle at `path`, which must not exist.
Result<FeatureBundle> makeFeatureBundle(const std::string& path);

}  // namespace installer::selftest
