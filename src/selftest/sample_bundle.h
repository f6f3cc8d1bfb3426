#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/result.h"

// Synthetic application bundles for measuring copies, the same for the same shape and
// seed: what the self-test's benchmark and bench/make-bundle copy.
namespace installer::selftest {

enum class BundleShape {
  // About 300 MiB in about 5,000 files: a main binary and four nested frameworks of
  // 20-80 MB each (Versions/Current -> A and the usual top-level links), many 1-50 KB
  // resources, some extended attributes.
  typical,
  // About 20,000 files of 0.5-8 KB, in the same skeleton without the large binaries.
  manySmall,
  // A thousand folders nested in Contents, each with two 1-8 KB files: for memory
  // against depth.
  deep,
};

// The shape named "typical", "many-small" or "deep".
std::optional<BundleShape> bundleShapeNamed(std::string_view name);

// Writes the bundle at `path`, which must not exist.
Result<void> makeSampleBundle(BundleShape shape, std::uint64_t seed, const std::string& path);

}  // namespace installer::selftest
