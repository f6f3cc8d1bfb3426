// make-bundle SHAPE SEED DST: writes a synthetic application bundle at DST (which
// must not exist), the same for the same SHAPE and SEED.
//   typical     about 300 MiB in about 5,000 files: a main binary and four nested
//               frameworks of 20-80 MB each (Versions/Current -> A and the usual
//               top-level links), many 1-50 KB resources, some extended attributes
//   many-small  about 20,000 files of 0.5-8 KB, in the same skeleton without the
//               large binaries
//   deep        a thousand folders nested in Contents, each with two 1-8 KB files:
//               for memory against depth
#include <sys/stat.h>
#include <sys/xattr.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::mt19937_64 randomness;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "make-bundle: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

size_t between(size_t low, size_t high) { return std::uniform_int_distribution<size_t>(low, high)(randomness); }

// Sizes spread evenly on a log scale: many small, fewer large, as resources are.
size_t logBetween(size_t low, size_t high) {
  double exponent = std::uniform_real_distribution<double>(std::log(low), std::log(high))(randomness);
  return static_cast<size_t>(std::exp(exponent));
}

void folder(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    die(path);
  }
}

void folders(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    folder(path.substr(0, slash));
  }
  folder(path);
}

// Some time in the last two years, with nanoseconds.
timespec someTime() {
  return timespec{static_cast<time_t>(1700000000 + between(0, 60000000)), static_cast<long>(between(0, 999999999))};
}

void stamp(const std::string& path, int flags = 0) {
  timespec times[2] = {someTime(), someTime()};
  if (utimensat(AT_FDCWD, path.c_str(), times, flags) != 0) {
    die(path);
  }
}

void file(const std::string& path, size_t size, mode_t mode) {
  static std::vector<unsigned char> block(1 << 20);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    die(path);
  }
  for (size_t left = size; left > 0;) {
    size_t chunk = std::min(left, block.size());
    for (size_t i = 0; i < chunk; i += 8) {
      std::uint64_t word = randomness();
      std::memcpy(block.data() + i, &word, std::min<size_t>(8, chunk - i));
    }
    if (write(fd, block.data(), chunk) != static_cast<ssize_t>(chunk)) {
      die(path);
    }
    left -= chunk;
  }
  // One file in fifty carries attributes, as downloaded or signed files do.
  if (between(0, 49) == 0) {
    std::string tag = "0083;" + std::to_string(between(0, 1u << 30)) + ";Browser;";
    if (fsetxattr(fd, "user.quarantine", tag.data(), tag.size(), 0) != 0) {
      die(path);
    }
  }
  if (fchmod(fd, mode) != 0 || close(fd) != 0) {
    die(path);
  }
  stamp(path);
}

void link(const std::string& target, const std::string& path) {
  if (symlink(target.c_str(), path.c_str()) != 0) {
    die(path);
  }
  stamp(path, AT_SYMLINK_NOFOLLOW);
}

void resources(const std::string& root, size_t count, size_t low, size_t high, bool logScale) {
  // Folders of 10-60 files, two to four levels down, like asset catalogues and
  // localisations.
  size_t made = 0;
  for (size_t group = 0; made < count; ++group) {
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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s typical|many-small|deep SEED DST\n", argv[0]);
    return 2;
  }
  std::string shape = argv[1];
  randomness.seed(std::strtoull(argv[2], nullptr, 10));
  std::string app = argv[3];
  bool typical = shape == "typical";
  if (!typical && shape != "many-small" && shape != "deep") {
    std::fprintf(stderr, "make-bundle: unknown shape %s\n", shape.c_str());
    return 2;
  }
  umask(0);
  folder(app);
  std::string contents = app + "/Contents";
  folders(contents + "/MacOS");
  folders(contents + "/Frameworks");
  folders(contents + "/_CodeSignature");
  file(contents + "/Info.plist", 2500, 0644);
  if (shape == "deep") {
    std::string level = contents;
    for (int depth = 0; depth < 1000; ++depth) {
      level += "/d";
      folder(level);
      file(level + "/a.dat", between(1000, 8000), 0644);
      file(level + "/b.dat", between(1000, 8000), 0644);
    }
    return 0;
  }
  file(contents + "/PkgInfo", 8, 0644);
  file(contents + "/_CodeSignature/CodeResources", typical ? 300000 : 40000, 0644);

  // Files per part: main resources, then each of four frameworks.
  size_t totalFiles = typical ? 5000 : 20000;
  size_t perFramework = totalFiles / 10;
  size_t low = typical ? 1024 : 512;
  size_t high = typical ? 50 * 1024 : 8 * 1024;
  auto binary = [&] { return typical ? between(20, 80) * 1000 * 1000 : between(20, 80) * 1000; };
  file(contents + "/MacOS/App", binary(), 0755);
  for (int i = 0; i < 4; ++i) {
    framework(contents + "/Frameworks", "Kit" + std::to_string(i), binary(), perFramework, low, high, typical);
  }
  resources(contents + "/Resources", totalFiles - 4 * (perFramework + 6) - 3, low, high, typical);

  const char tag[] = "bench";
  if (setxattr(app.c_str(), "user.origin", tag, sizeof tag - 1, 0) != 0) {
    die(app);
  }
  return 0;
}
