#include "selftest/feature_bundle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <vector>

#include "platform/error.h"
#include "platform/fd.h"
#include "platform/io.h"
#include "selftest/item_state.h"

namespace installer::selftest {

namespace {

// The sparse file: data at its start and in its middle, holes elsewhere.
constexpr off_t kSparseLength = off_t{8} << 20;

class Builder {
public:
  explicit Builder(std::string root) : root_(std::move(root)) {}

  Result<void> folder(const std::string& path, mode_t mode) {
    if (::mkdir(full(path).c_str(), 0700) != 0) {
      return systemError(errno, "creating", full(path));
    }
    made_.push_back({path, mode, false});
    return {};
  }

  Result<void> file(const std::string& path, mode_t mode, std::string_view data) {
    UniqueFd fd(::open(full(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd) {
      return systemError(errno, "creating", full(path));
    }
    if (Result<void> written = writeAll(fd.get(), data, full(path)); !written) {
      return written;
    }
    made_.push_back({path, mode, false});
    return {};
  }

  Result<void> link(const std::string& target, const std::string& path) {
    if (::symlink(target.c_str(), full(path).c_str()) != 0) {
      return systemError(errno, "creating the link", full(path));
    }
    made_.push_back({path, 0, true});
    return {};
  }

  Result<void> hardLink(const std::string& existing, const std::string& path) {
    if (::link(full(existing).c_str(), full(path).c_str()) != 0) {
      return systemError(errno, "linking", full(path));
    }
    return {};
  }

  // Length kSparseLength, 4 KiB of data at 0 and at the middle.  Whether the file
  // system kept the rest as holes is for the caller to see.
  Result<void> sparse(const std::string& path) {
    UniqueFd fd(::open(full(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    std::string block(4096, 's');
    if (!fd || ::pwrite(fd.get(), block.data(), block.size(), 0) != static_cast<ssize_t>(block.size()) ||
        ::pwrite(fd.get(), block.data(), block.size(), kSparseLength / 2) != static_cast<ssize_t>(block.size()) ||
        ::ftruncate(fd.get(), kSparseLength) != 0 || ::fsync(fd.get()) != 0) {
      return systemError(errno, "writing", full(path));
    }
    made_.push_back({path, 0644, false});
    return {};
  }

  // Modes, then times, deepest and latest first, so that nothing made afterwards
  // changes a folder's time, and read-only folders are filled before they close.
  Result<void> finish() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    for (size_t i = made_.size(); i-- > 0;) {
      const Made& item = made_[i];
      const std::string path = full(item.path);
      // A user may not set set-group-ID where the file's group is not one of theirs
      // (macOS gives files the folder's group); the comparison reads what was set.
      if (!item.link && ::chmod(path.c_str(), item.mode) != 0 &&
          !(errno == EPERM && (item.mode & 06000) != 0 && ::chmod(path.c_str(), item.mode & 0777) == 0)) {
        return systemError(errno, "setting permissions of", path);
      }
      // Modification times in 2023 with their own nanoseconds; access times in the
      // last hour and after them, which reading leaves alone (relatime and the like).
      auto index = static_cast<long>(i);
      timespec times[2] = {
          {now.tv_sec - 3600 + index, (index * 7919 + 1) % 1000000000},
          {1690000000 + index * 86400, (index * 104729 + 123456789) % 1000000000},
      };
      if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        return systemError(errno, "setting times of", path);
      }
    }
    return {};
  }

  std::string full(const std::string& path) const { return path.empty() ? root_ : root_ + "/" + path; }

private:
  struct Made {
    std::string path;
    mode_t mode;
    bool link;
  };
  std::string root_;
  std::vector<Made> made_;
};

std::string bytes(const std::string& seed, size_t size) {
  std::string data;
  data.reserve(size);
  for (size_t i = 0; data.size() < size; ++i) {
    data += seed;
    data += static_cast<char>(i % 251);
  }
  data.resize(size);
  return data;
}

#define STEP(call)                   \
  if (Result<void> done = (call); !done) { \
    return done.error();             \
  }

}  // namespace

Result<FeatureBundle> makeFeatureBundle(const std::string& path) {
  FeatureBundle bundle;
  Builder b(path);
  STEP(b.folder("", 0755));
  STEP(b.folder("Contents", 0755));
  STEP(b.file("Contents/Info.plist", 0644, bytes("<plist/>", 1500)));
  STEP(b.file("Contents/PkgInfo", 0644, "APPL????"));
  STEP(b.folder("Contents/MacOS", 0755));
  STEP(b.file("Contents/MacOS/Feature", 0755, bytes("\xCF\xFA\xED\xFE", 70000)));
  STEP(b.file("Contents/MacOS/helper-setuid", 04755, bytes("helper", 3000)));
  STEP(b.file("Contents/MacOS/helper-setgid", 02750, bytes("helper2", 3000)));

  // A framework with the usual links, relative ones.
  STEP(b.folder("Contents/Frameworks", 0755));
  STEP(b.folder("Contents/Frameworks/Kit.framework", 0755));
  STEP(b.folder("Contents/Frameworks/Kit.framework/Versions", 0755));
  STEP(b.folder("Contents/Frameworks/Kit.framework/Versions/A", 0755));
  STEP(b.file("Contents/Frameworks/Kit.framework/Versions/A/Kit", 0755, bytes("kit", 40000)));
  STEP(b.link("A", "Contents/Frameworks/Kit.framework/Versions/Current"));
  STEP(b.link("Versions/Current/Kit", "Contents/Frameworks/Kit.framework/Kit"));

  // Nested folders, odd modes, links of every kind, hard links, an empty file and folder.
  STEP(b.folder("Contents/Resources", 0755));
  STEP(b.folder("Contents/Resources/nested", 0755));
  STEP(b.folder("Contents/Resources/nested/deeper", 0750));
  STEP(b.folder("Contents/Resources/nested/deeper/deepest", 0711));
  STEP(b.file("Contents/Resources/nested/deeper/deepest/leaf.txt", 0640, bytes("leaf", 777)));
  STEP(b.folder("Contents/Resources/read-only", 0555));
  STEP(b.file("Contents/Resources/read-only/locked.txt", 0444, bytes("locked", 2048)));
  STEP(b.folder("Contents/Resources/private", 0700));
  STEP(b.file("Contents/Resources/private/owner-only.txt", 0400, bytes("mine", 100)));
  STEP(b.folder("Contents/Resources/sticky", 01777));
  STEP(b.file("Contents/Resources/sticky/everyone.txt", 0666, bytes("all", 10)));
  STEP(b.file("Contents/Resources/world-writable", 0777, bytes("ww", 64)));
  STEP(b.file("Contents/Resources/others-read", 0604, bytes("or", 64)));
  STEP(b.file("Contents/Resources/empty", 0644, ""));
  STEP(b.folder("Contents/Resources/empty-folder", 0755));
  STEP(b.link("/usr/lib", "Contents/Resources/absolute-link"));
  STEP(b.link("nowhere/at/all", "Contents/Resources/dangling-link"));
  STEP(b.link("../MacOS/Feature", "Contents/Resources/link-to-binary"));
  STEP(b.file("Contents/Resources/shared.dat", 0644, bytes("shared", 5000)));
  STEP(b.hardLink("Contents/Resources/shared.dat", "Contents/MacOS/shared-link.dat"));
  STEP(b.hardLink("Contents/Resources/shared.dat", "Contents/Resources/nested/shared-again.dat"));
  STEP(b.sparse("Contents/Resources/sparse.bin"));
  STEP(b.file("Contents/Resources/Hidden.txt", 0644, bytes("hidden", 300)));
  STEP(b.file("Contents/Resources/WithResourceFork.txt", 0644, bytes("fork", 300)));

  // Attributes: binary values on a file and a folder, a larger one, a resource fork.
  Result<void> attributes = setAttribute(b.full("Contents/Info.plist"), "user.selftest.binary",
                                         std::string("\0\1\2 value \xFF with NULs\0", 22));
  if (attributes) {
    attributes = setAttribute(b.full("Contents/Resources"), "user.selftest.folder", "on a folder");
  }
  if (attributes) {
    attributes = setAttribute(b.full("Contents/MacOS/Feature"), "user.selftest.large", bytes("large", 3000));
  }
  if (!attributes && attributesUnsupported(attributes.error())) {
    bundle.cannotHold[Aspect::attributes] = "the file system here keeps no extended attributes";
  } else if (!attributes) {
    return attributes.error();
  }
  if (std::optional<std::string> fork = resourceForkAttribute(); !fork) {
    bundle.cannotHold[Aspect::resourceFork] = "files have no resource forks on this system";
  } else if (Result<void> set = setAttribute(b.full("Contents/Resources/WithResourceFork.txt"), *fork,
                                             bytes("\0\0\1\0resource map", 1200));
             !set) {
    if (!attributesUnsupported(set.error())) {
      return set.error();
    }
    bundle.cannotHold[Aspect::resourceFork] = "the file system here keeps no resource forks";
  }
  if (Result<void> hidden = setHiddenFlag(b.full("Contents/Resources/Hidden.txt")); !hidden) {
    if (!attributesUnsupported(hidden.error())) {
      return hidden.error();
    }
    bundle.cannotHold[Aspect::hidden] = "the file system here cannot hold the hidden flag";
  }
  STEP(b.finish());

  struct stat sparse {};
  if (::lstat(b.full("Contents/Resources/sparse.bin").c_str(), &sparse) != 0) {
    return systemError(errno, "reading the status of", b.full("Contents/Resources/sparse.bin"));
  }
  if (static_cast<long long>(sparse.st_blocks) * 512 * 2 >= sparse.st_size) {
    bundle.cannotHold[Aspect::holes] = "the file system here keeps no holes (a sparse file took " +
                                       std::to_string(sparse.st_blocks / 2) + " KiB for " +
                                       std::to_string(sparse.st_size / 1024) + " KiB)";
  }
  return bundle;
}

}  // namespace installer::selftest
