#include "selftest/lock_flush_checks.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <chrono>

#include "platform/durability.h"
#include "platform/error.h"
#include "platform/fd.h"

namespace installer::selftest {

namespace {

// The folder opened as the tool opens the destination folder.
UniqueFd openFolder(const std::string& path) {
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// Takes `operation` on `fd` without waiting: "" when taken, "EWOULDBLOCK" when held
// elsewhere, the system's text otherwise.
std::string tryLock(int fd, int operation) {
  if (::flock(fd, operation | LOCK_NB) == 0) {
    return "";
  }
  return errno == EWOULDBLOCK ? "EWOULDBLOCK" : errorText(errno);
}

Outcome exclusiveLock(const std::string& path) {
  UniqueFd first = openFolder(path);
  UniqueFd second = openFolder(path);
  if (!first || !second) {
    return failed(describeError(errno, "opening", path));
  }
  if (std::string taken = tryLock(first.get(), LOCK_EX); !taken.empty()) {
    return failed("locking the folder: " + taken);
  }
  for (int operation : {LOCK_EX, LOCK_SH}) {
    std::string taken = tryLock(second.get(), operation);
    const char* kind = operation == LOCK_EX ? "exclusive" : "shared";
    if (taken.empty()) {
      return failed(std::string("a second open took a ") + kind + " lock too");
    }
    if (taken != "EWOULDBLOCK") {
      return failed(std::string("a second open's ") + kind + " lock failed with " + taken +
                    " instead of EWOULDBLOCK");
    }
  }
  if (::flock(first.get(), LOCK_UN) != 0) {
    return failed(describeError(errno, "unlocking", path));
  }
  if (std::string taken = tryLock(second.get(), LOCK_EX); !taken.empty()) {
    return failed("once let go, the lock could not be taken by the second open: " + taken);
  }
  return passed("a second open gets EWOULDBLOCK");
}

Outcome sharedLocks(const std::string& path) {
  UniqueFd first = openFolder(path);
  UniqueFd second = openFolder(path);
  if (!first || !second) {
    return failed(describeError(errno, "opening", path));
  }
  for (int fd : {first.get(), second.get()}) {
    if (std::string taken = tryLock(fd, LOCK_SH); !taken.empty()) {
      return failed("a shared lock: " + taken);
    }
  }
  if (std::string taken = tryLock(first.get(), LOCK_EX); taken != "EWOULDBLOCK") {
    return failed(taken.empty() ? "an exclusive lock was taken beside a shared one"
                                : "an exclusive lock beside a shared one: " + taken);
  }
  return passed();
}

template <typename Flush>
Outcome timedFlush(const std::string& path, Flush flush) {
  UniqueFd folder = openFolder(path);
  if (!folder) {
    return failed(describeError(errno, "opening", path));
  }
  auto start = std::chrono::steady_clock::now();
  if (Result<void> flushed = flush(folder.get(), path); !flushed) {
    return failed(flushed.error().description);
  }
  return passed(durationText(std::chrono::steady_clock::now() - start));
}

}  // namespace

std::vector<CheckLine> lockChecks(const Workspace& workspace) {
  Result<std::string> path = makeFolder(workspace, "locks");
  if (!path) {
    return {{"lock a folder: setting up", failed(path.error().description)}};
  }
  return {
      {"lock a folder exclusively (flock)", exclusiveLock(*path)},
      {"lock a folder shared, twice", sharedLocks(*path)},
  };
}

std::vector<CheckLine> flushChecks(const Workspace& workspace) {
  Result<std::string> path = makeFolder(workspace, "flushes");
  if (!path) {
    return {{"flush: setting up", failed(path.error().description)}};
  }
  return {
      {"flush before a rename (flushBeforeRename)",
       timedFlush(*path, [](int fd, const std::string& shown) { return flushBeforeRename(fd, shown); })},
      {"flush a folder (flushFolder)",
       timedFlush(*path, [](int fd, const std::string& shown) { return flushFolder(fd, shown); })},
  };
}

}  // namespace installer::selftest
