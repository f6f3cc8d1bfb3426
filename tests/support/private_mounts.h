#pragma once

#include <string>

namespace testing_support {

// Moves the calling test process into a mount namespace of its own, once, so that it
// can mount small file systems that nobody else sees.  False where the machine does
// not allow that (not root, or no mount namespaces).
bool enterPrivateMountNamespace();

// In a child process about to run what is tested: moves it into a mount namespace of
// its own with an empty file system on /dev, as in some chroots and containers (no
// /dev/fd, no /dev/null).  False where the machine does not allow that.
bool emptyDevInOwnNamespace();

#define SKIP_WITHOUT_OWN_MOUNTS()                                                              \
  if (!::testing_support::enterPrivateMountNamespace()) {                                      \
    GTEST_SKIP() << "needs root and a private mount namespace (unshare) to mount a small or " \
                    "read-only file system";                                                 \
  }

// A mount in the test's own namespace, taken away again when it goes out of scope.
class ScopedMount {
public:
  // A fresh file system of `type` ("tmpfs", "ramfs") at the existing folder `at`,
  // with mount `options` ("size=1m").
  ScopedMount(const std::string& type, const std::string& at, const std::string& options = "");
  // The folder `at` bound onto itself, read-only.
  static ScopedMount readOnly(const std::string& at);
  ScopedMount(ScopedMount&& other) noexcept;
  ScopedMount(const ScopedMount&) = delete;
  ScopedMount& operator=(const ScopedMount&) = delete;
  ScopedMount& operator=(ScopedMount&&) = delete;
  ~ScopedMount();

private:
  ScopedMount() = default;
  std::string at_;
};

// Why this machine cannot give a test a file system of its own on a loop device (not
// root, no private mount namespace, no loop device, or mkfs.ext4, losetup or xfs_io
// missing), or "" when it can.
std::string loopFileSystemsUnavailable();

#define SKIP_WITHOUT_LOOP_FILE_SYSTEMS()                                                  \
  if (std::string why = ::testing_support::loopFileSystemsUnavailable(); !why.empty()) { \
    GTEST_SKIP() << "needs a journalled ext4 on a loop device: " << why;                  \
  }

// A fresh journalled ext4 file system of `megabytes` in the image file `image`, on a
// loop device, mounted at the existing folder `at` in the test's own namespace;
// unmounted and detached when it goes.
class LoopFileSystem {
public:
  LoopFileSystem(const std::string& image, const std::string& at, int megabytes = 64);
  ~LoopFileSystem();
  LoopFileSystem(const LoopFileSystem&) = delete;
  LoopFileSystem& operator=(const LoopFileSystem&) = delete;

  // Stops the file system as a power cut would, dropping whatever its journal has not
  // committed (xfs_io's shutdown without -f), then unmounts and mounts it again.
  void cutPowerAndRemount();

private:
  void mountDevice();
  std::string at_;
  std::string device_;
};

}  // namespace testing_support
