// make-bundle SHAPE SEED DST: writes a synthetic application bundle at DST (which
// must not exist), the same for the same SHAPE and SEED.  The shapes (typical,
// many-small, deep) are described in src/selftest/sample_bundle.h; the self-test's
// benchmark copies the same typical bundle.
#include <cstdio>
#include <cstdlib>

#include "selftest/sample_bundle.h"

int main(int argc, char** argv) {
  using namespace installer::selftest;
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s typical|many-small|deep SEED DST\n", argv[0]);
    return 2;
  }
  std::optional<BundleShape> shape = bundleShapeNamed(argv[1]);
  if (!shape) {
    std::fprintf(stderr, "make-bundle: unknown shape %s\n", argv[1]);
    return 2;
  }
  installer::Result<void> made = makeSampleBundle(*shape, std::strtoull(argv[2], nullptr, 10), argv[3]);
  if (!made) {
    std::fprintf(stderr, "make-bundle: %s\n", made.error().description.c_str());
    return 1;
  }
  return 0;
}
