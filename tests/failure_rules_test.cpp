// The failures of the system that a copy and its flushes pass over, and those they
// do not.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "platform/durability.h"

namespace {

struct ErrorCase {
  int error;
  bool passedOver;
};

TEST(FlushControlUnsupported, OnlyAMissingControlFallsBackToFsync) {
  const ErrorCase cases[] = {
      {ENOTTY, true}, {ENOTSUP, true}, {EOPNOTSUPP, true}, {EINVAL, true}, {ENOSYS, true},
      {EIO, false},   {ENOSPC, false}, {EBADF, false},     {EINTR, false}, {0, false},
  };
  for (const ErrorCase& c : cases) {
    EXPECT_EQ(installer::flushControlUnsupported(c.error), c.passedOver) << std::strerror(c.error);
  }
}

}  // namespace
