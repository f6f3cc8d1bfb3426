#include "selftest/sample_bundle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "platform/error.h"
#include "platform/fd.h"
#include "selftest/item_state.h"

namespace installer::selftest {

namespace {

// Each step does nothing once one has failed, so that the first failure is the one
// reported; while none fails, the random numbers are drawn in the same order for the
// same seed.
class Generator {
public:
  explicit Generator(std::uint64_t seed) : block_(1 << 20) { randomness_.seed(seed); }

  const std::optional<Error>& failure() const { return failure_; }

  size_t between(size_t low, size_t high) { return std::uniform_int_distribution<size_t>(low, high)(randomness_); }

  // Sizes spread evenly on a log scale: many small, fewer large, as resources are.
  size_t logBetween(size_t low, size_t high) {
    double exponent = std::uniform_real_distribution<double>(std::log(low), std::log(high))(randomness_);
    return static_cast<size_t>(std::exp(exponent));
  }

  void folder(const std::string& path) {
    if (!failure_ && ::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
      fail(errno, "creating", path);
    }
  }

  void folders(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
      folder(path.substr(0, slash));
    }
    folder(path);
  }

  void file(const std::string& path, size_t size, mode_t mode) {
    if (failure_) {
      return;
    }
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd) {
      return fail(errno, "creating", path);
    }
    for (size_t left = size; left > 0;) {
      size_t chunk = std::min(left, block_.size());
      for (size_t i = 0; i < chunk; i += 8) {
        std::uint64_t word = randomness_();
        std::memcpy(block_.data() + i, &word, std::min<size_t>(8, chunk - i));
      }
      if (::write(fd.get(), block_.data(), chunk) != static_cast<ssize_t>(chunk)) {
        return fail(errno, "writing", path);
      }
      left -= chunk;
    }
    // One file in fifty carries attributes, as downloaded or signed files do.
    if (between(0, 49) == 0) {
      std::string tag = "0083;" + std::to_string(between(0, 1u << 30)) + ";Browser;";
      if (Result<void> set = setAttribute(fd.get(), "user.quarantine", tag, path); !set) {
        failure_ = set.error();
        return;
      }
    }
    if (::fchmod(fd.get(), mode) != 0 || ::close(fd.release()) != 0) {
      return fail(errno, "writing", path);
    }
    stamp(path);
  }

  void link(const std::string& target, const std::string& path) {
    if (failure_) {
      return;
    }
    if (::symlink(target.c_str(), path.c_str()) != 0) {
      return fail(errno, "creating the link", path);
    }
    stamp(path, AT_SYMLINK_NOFOLLOW);
  }

  void attribute(const std::string& path, const std::string& name, const std::string& value) {
    if (!failure_) {
      if (Result<void> set = setAttribute(path, name, value); !set) {
        failure_ = set.error();
      }
    }
  }

  void resources(const std::string& root, size_t count, size_t low, size_t high, bool logScale) {
    // Folders of 10-60 files, two to four levels down, like asset catalogues and
    // localisations.
    size_t made = 0;
    for (size_t group = 0; made < count && !failure_; ++group) {
      std::string base = root + "/group" + std::to_string(group);
      size_t depth = between(0, 2);
      for (size_t level = 0; level < depth; ++level) {
        base += "/level" + std::to_string(level);
      }
      folders(base);
      size_t inHere = std::min(count - made, between(10, 60));
      for (size_t i = 0; i < inHere; ++i, ++made) {
        size_t size = logScale ? logBetween(low, high) : between(low, high);
        file(base + "/resource" + std::to_string(i) + ".dat", size, 0644);
      }
    }
  }

  void framework(const std::string& frameworks, const std::string& name, size_t binarySize, size_t resourceCount,
                 size_t low, size_t high, bool logScale) {
    std::string root = frameworks + "/" + name + ".framework";
    std::string version = root + "/Versions/A";
    folders(version + "/Headers");
    folders(version + "/Resources");
    file(version + "/" + name, binarySize, 0755);
    for (int i = 0; i < 5; ++i) {
      file(version + "/Headers/" + name + std::to_string(i) + ".h", between(1000, 8000), 0644);
    }
    file(version + "/Resources/Info.plist", between(1000, 3000), 0644);
    resources(version + "/Resources", resourceCount, low, high, logScale);
    link("A", root + "/Versions/Current");
    link("Versions/Current/" + name, root + "/" + name);
    link("Versions/Current/Headers", root + "/Headers");
    link("Versions/Current/Resources", root + "/Resources");
  }

private:
  void fail(int errnum, std::string_view operation, const std::string& path) {
    failure_ = systemError(errnum, operation, path);
  }

  // Some time in the last two years, with nanoseconds.
  timespec someTime() {
    return timespec{static_cast<time_t>(1700000000 + between(0, 60000000)), static_cast<long>(between(0, 999999999))};
  }

  void stamp(const std::string& path, int flags = 0) {
    timespec times[2] = {someTime(), someTime()};
    if (::utimensat(AT_FDCWD, path.c_str(), times, flags) != 0) {
      fail(errno, "setting times of", path);
    }
  }

  std::mt19937_64 randomness_;
  std::vector<unsigned char> block_;
  std::optional<Error> failure_;
};

void build(Generator& g, BundleShape shape, const std::string& app) {
  const bool typical = shape == BundleShape::typical;
  g.folder(app);
  std::string contents = app + "/Contents";
  g.folders(contents + "/MacOS");
  g.folders(contents + "/Frameworks");
  g.folders(contents + "/_CodeSignature");
  g.file(contents + "/Info.plist", 2500, 0644);
  if (shape == BundleShape::deep) {
    std::string level = contents;
    for (int depth = 0; depth < 1000; ++depth) {
      level += "/d";
      g.folder(level);
      g.file(level + "/a.dat", g.between(1000, 8000), 0644);
      g.file(level + "/b.dat", g.between(1000, 8000), 0644);
    }
    return;
  }
  g.file(contents + "/PkgInfo", 8, 0644);
  g.file(contents + "/_CodeSignature/CodeResources", typical ? 300000 : 40000, 0644);

  // Files per part: main resources, then each of four frameworks.
  size_t totalFiles = typical ? 5000 : 20000;
  size_t perFramework = totalFiles / 10;
  size_t low = typical ? 1024 : 512;
  size_t high = typical ? 50 * 1024 : 8 * 1024;
  auto binary = [&] { return typical ? g.between(20, 80) * 1000 * 1000 : g.between(20, 80) * 1000; };
  g.file(contents + "/MacOS/App", binary(), 0755);
  for (int i = 0; i < 4; ++i) {
    g.framework(contents + "/Frameworks", "Kit" + std::to_string(i), binary(), perFramework, low, high, typical);
  }
  g.resources(contents + "/Resources", totalFiles - 4 * (perFramework + 6) - 3, low, high, typical);
  g.attribute(app, "user.origin", "bench");
}

}  // namespace

std::optional<BundleShape> bundleShapeNamed(std::string_view name) {
  if (name == "typical") return BundleShape::typical;
  if (name == "many-small") return BundleShape::manySmall;
  if (name == "deep") return BundleShape::deep;
  return std::nullopt;
}

Result<void> makeSampleBundle(BundleShape shape, std::uint64_t seed, const std::string& path) {
  // Modes exactly as written, whatever the caller's umask.
  mode_t mask = ::umask(0);
  Generator generator(seed);
  build(generator, shape, path);
  ::umask(mask);
  if (generator.failure()) {
    return *generator.failure();
  }
  return {};
}

}  // namespace installer::selftest
