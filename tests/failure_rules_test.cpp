// The failures of the system that a copy and its flushes pass over, and those they
// do not.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/durability.h"
#include "platform/fd.h"
#include "platform/file_copy.h"
#include "support/files.h"
#include "support/item_state.h"
#include "support/tree_snapshot.h"

using testing_support::attributeOf;
using testing_support::setAttribute;
using testing_support::setImmutable;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

struct ErrorCase {
  int error;
  bool passedOver;
};

// A failed attribute write on a copy: the error it fails the copy with, or 0 where the
// copy goes on.  For the name "user.x", the failure is one a refusal alone passes over.
struct AttributeCase {
  std::string_view name;
  int error;
  int failure;
};

TEST(AttributeWriteFailure, RefusalsAndQuarantineAloneLetTheCopyGoOn) {
  const AttributeCase cases[] = {
      {"user.x", EPERM, 0},       {"user.x", EACCES, 0},       {"user.x", ENOTSUP, 0},    {"user.x", EOPNOTSUPP, 0},
      {"user.x", ENOSPC, ENOSPC}, {"user.x", EDQUOT, EDQUOT},  {"user.x", EIO, EIO},      {"user.x", E2BIG, E2BIG},
      {"user.x", EROFS, EROFS},   {"user.x", EBADF, EBADF},    {"user.x", 0, EIO},        {"com.apple.quarantine", 0, 0},
      {"com.apple.quarantine", EIO, 0},          {"com.apple.quarantine", ENOSPC, 0},      {"com.apple.quarantine.x", 0, EIO},
      {"com.apple.Quarantine", 0, EIO},          {"user.quarantine", 0, EIO},              {"", 0, EIO},
  };
  for (const AttributeCase& c : cases) {
    EXPECT_EQ(installer::attributeWriteFailure(c.name, c.error), c.failure) << c.name << ": " << std::strerror(c.error);
    if (c.name == "user.x") {
      EXPECT_EQ(installer::attributeRefusedBySystem(c.error), c.failure == 0) << std::strerror(c.error);
    }
  }
}

TEST(FlushControlUnsupported, OnlyAMissingControlFallsBackToFsync) {
  const ErrorCase cases[] = {
      {ENOTTY, true}, {ENOTSUP, true}, {EOPNOTSUPP, true}, {EINVAL, true}, {ENOSYS, true},
      {EIO, false},   {ENOSPC, false}, {EBADF, false},     {EINTR, false}, {0, false},
  };
  for (const ErrorCase& c : cases) {
    EXPECT_EQ(installer::flushControlUnsupported(c.error), c.passedOver) << std::strerror(c.error);
  }
}

// An immutable file takes no extended attribute (EPERM), as macOS refuses to have its
// own attributes written.
TEST(CopyAttributes, AttributesTheSystemRefusesAreSkipped) {
  TempDir dir;
  const std::string source = dir / "from";
  const std::string destination = dir / "to";
  writeFile(source, "x");
  setAttribute(source, "user.origin", "image");
  setAttribute(source, "user.where", "here");
  writeFile(destination, "x");
  installer::UniqueFd from(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  installer::UniqueFd to(::open(destination.c_str(), O_RDONLY | O_CLOEXEC));
  if (!setImmutable(destination, true)) {
    GTEST_SKIP() << "needs root and a file system with the immutable flag";
  }
  struct stat status {};
  ASSERT_EQ(::fstat(from.get(), &status), 0);

  installer::ItemContentCopier copier;
  auto copied = copier.copyAttributes(from.get(), to.get(), status, {source, destination});
  setImmutable(destination, false);

  EXPECT_TRUE(copied) << copied.error().description;
  EXPECT_EQ(attributeOf(destination, "user.origin"), "<none>");
}

}  // namespace
