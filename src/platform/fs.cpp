#include "platform/fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <random>

#include "platform/error.h"
#include "platform/fd.h"
#include "platform/folder.h"
#include "platform/io.h"

namespace installer {

bool itemExists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

Result<std::string> readPrivateFile(const std::string& path, size_t maxBytes) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) {
    return systemError(errno, "opening", path);
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) {
    return systemError(errno, "reading", path);
  }
  if (S_ISDIR(status.st_mode)) {
    return systemError(EISDIR, "reading", path);
  }
  if (!S_ISREG(status.st_mode)) {
    return failure("Not a regular file", "reading", path);
  }
  if (status.st_uid != ::geteuid() || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return failure("The file is not this user's alone", "reading", path);
  }
  if (static_cast<std::uintmax_t>(status.st_size) > maxBytes) {
    return systemError(EFBIG, "reading", path);
  }
  std::string bytes;
  bytes.reserve(static_cast<size_t>(status.st_size));
  // It may grow while it is read.
  if (Result<void> read = readToEnd(fd.get(), bytes, path, maxBytes); !read) {
    return read.error();
  }
  return bytes;
}

std::optional<std::string> linkTarget(const std::string& path) {
  std::string buffer(PATH_MAX, '\0');
  for (;;) {
    const ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0) {
      return std::nullopt;
    }
    if (static_cast<size_t>(length) < buffer.size()) {
      buffer.resize(static_cast<size_t>(length));
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string randomLetters(size_t length) {
  static constexpr std::string_view kLetters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device device;
  std::uniform_int_distribution<size_t> pick(0, kLetters.size() - 1);
  std::string letters;
  for (size_t i = 0; i < length; ++i) {
    letters += kLetters[pick(device)];
  }
  return letters;
}

Result<std::string> createPrivateFile(const std::string& prefix) {
  for (;;) {
    std::string path = prefix + randomLetters(12);
    // O_EXCL refuses whatever stands there, a link included, without following it.
    UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600));
    if (!file && errno == EEXIST) {
      continue;
    }
    if (!file) {
      return systemError(errno, "creating", path);
    }
    // The creation mask may have taken the owner's own permissions.
    if (::fchmod(file.get(), 0600) != 0) {
      int error = errno;
      ::unlink(path.c_str());
      return systemError(error, "creating", path);
    }
    return path;
  }
}

Result<void> renameItem(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    return systemError(errno, "renaming", from + " to " + to);
  }
  return {};
}

Result<std::vector<std::string>> listFolder(const std::string& path) {
  FolderStream stream(::opendir(path.c_str()));
  if (stream.get() == nullptr) {
    return systemError(errno, "listing", path);
  }
  std::vector<std::string> names;
  Result<void> listed = forEachEntry(stream.get(), path, [&](const dirent& entry) -> Result<void> {
    names.emplace_back(entry.d_name);
    return {};
  });
  if (!listed) {
    return listed.error();
  }
  return names;
}

std::string appendingPathComponent(const std::string& base, const std::string& component) {
  if (base.ends_with('/')) {
    return base + component;
  }
  return base + "/" + component;
}

}  // namespace installer
