#pragma once

// macOS only.  The cross toolchain's macOS headers have no <sys/xattr.h>, so the
// extended attribute calls are declared here as libSystem exports them: macOS's own
// signatures, with the position and options arguments Linux lacks.

#include <sys/types.h>

#include <cstdint>

extern "C" {
ssize_t getxattr(const char* path, const char* name, void* value, size_t size, uint32_t position, int options);
ssize_t fgetxattr(int fd, const char* name, void* value, size_t size, uint32_t position, int options);
int setxattr(const char* path, const char* name, const void* value, size_t size, uint32_t position, int options);
int fsetxattr(int fd, const char* name, const void* value, size_t size, uint32_t position, int options);
int fremovexattr(int fd, const char* name, int options);
ssize_t listxattr(const char* path, char* names, size_t size, int options);
}

namespace installer {

// XATTR_NOFOLLOW: act on a symbolic link itself.
constexpr int kAttributeNoFollow = 0x0001;

}  // namespace installer
