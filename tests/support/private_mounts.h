#pragma once

#include <string>

namespace testing_support {

// Moves the calling test process into a mount namespace of its own, once, so that it
// can mount small file systems that nobody else sees.  False where the machine does
// not allow that (not root, or no mount namespaces).
bool enterPrivateMountNamespace();

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

}  // namespace testing_support
