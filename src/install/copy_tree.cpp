#include "install/copy_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/error.h"
#include "platform/fd.h"
#include "platform/file_copy.h"
#include "platform/folder.h"

namespace installer {

namespace {

// Permission bits the copy may keep: read, write, execute and, on folders, sticky.
// Set-user-ID and set-group-ID are dropped: an installed bundle must not hand its
// privileges to whoever runs it just because the image said so.
constexpr mode_t kFilePermissions = 0777;
constexpr mode_t kFolderPermissions = 01777;

// Opening flags for anything read from the source: never follow a link, never wait
// on a FIFO that took a file's place, never take a terminal.
constexpr int kSourceFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

const char* kindOfNonFile(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFIFO:
      return "A FIFO (named pipe)";
    case S_IFSOCK:
      return "A socket";
    case S_IFCHR:
      return "A character device";
    case S_IFBLK:
      return "A block device";
    default:
      return "An item of unknown kind";
  }
}

// One copy of one tree.  The two paths grow and shrink as the walk goes down and
// up, so they are only ever as long as the deepest path.
class TreeCopier {
public:
  TreeCopier(const std::string& source, const std::string& shownPath, const std::function<void(int)>& onCreated)
      : source_(source), destination_(shownPath), onCreated_(onCreated) {
    // Reading the mask means setting it; it is put back at once.  The tool runs on
    // one thread, so nothing else creates files meanwhile.
    mask_ = ::umask(0);
    ::umask(mask_);
  }

  Result<void> copyTop(int folder, const std::string& name) {
    // Its own string: source_ grows during the walk and may move its characters.
    const std::string top = source_;
    return copyItem(AT_FDCWD, top.c_str(), folder, name.c_str(), DT_UNKNOWN, true);
  }

private:
  Result<void> copyItem(int sourceFolder, const char* sourceName, int folder, const char* name,
                                      unsigned char type, bool top);
  Result<void> copyFolder(UniqueFd from, const struct stat& status, int folder, const char* name,
                                        bool top);
  Result<void> copyFile(UniqueFd from, const struct stat& status, int folder, const char* name,
                                      bool top);
  Result<void> copyLink(int sourceFolder, const char* sourceName, const struct stat& status,
                                      int folder, const char* name);

  Error onSource(int error, std::string_view operation) const { return systemError(error, operation, source_); }
  Error onCopy(int error, std::string_view operation) const { return systemError(error, operation, destination_); }
  CopyEnds ends() const { return CopyEnds{source_, destination_}; }

  std::string source_;
  std::string destination_;
  const std::function<void(int)>& onCreated_;
  mode_t mask_ = 0;
  ItemContentCopier content_;
  std::string linkTarget_;
};

Result<void> TreeCopier::copyItem(int sourceFolder, const char* sourceName, int folder,
                                                const char* name, unsigned char type, bool top) {
  // The listing's type, when it gives one, saves a status call for files and
  // folders: they are opened at once and the open item is examined.  What is not
  // plainly a file or a folder is examined by name first and never opened.
  struct stat status {};
  UniqueFd from;
  if (type == DT_REG || type == DT_DIR) {
    from.reset(::openat(sourceFolder, sourceName, kSourceFlags | (type == DT_DIR ? O_DIRECTORY : 0)));
    if (!from && errno != ELOOP && errno != ENOTDIR) {
      return onSource(errno, "opening");
    }
    // ELOOP or ENOTDIR: it changed kind since the listing; look again below.
  }
  if (from) {
    if (::fstat(from.get(), &status) != 0) {
      return onSource(errno, "reading");
    }
  } else {
    if (::fstatat(sourceFolder, sourceName, &status, AT_SYMLINK_NOFOLLOW) != 0) {
      return onSource(errno, "copying");
    }
    if (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode)) {
      from.reset(::openat(sourceFolder, sourceName, kSourceFlags | (S_ISDIR(status.st_mode) ? O_DIRECTORY : 0)));
      if (!from || ::fstat(from.get(), &status) != 0) {
        return onSource(errno, "opening");
      }
    }
  }

  switch (status.st_mode & S_IFMT) {
    case S_IFDIR:
      return copyFolder(std::move(from), status, folder, name, top);
    case S_IFREG:
      return copyFile(std::move(from), status, folder, name, top);
    case S_IFLNK:
      return copyLink(sourceFolder, sourceName, status, folder, name);
    default:
      return Error{0, std::string(kindOfNonFile(status.st_mode)) +
                          " cannot be part of an application bundle (copying " + source_ + ")"};
  }
}

Result<void> TreeCopier::copyFolder(UniqueFd from, const struct stat& status, int folder,
                                                  const char* name, bool top) {
  // Owner-only until it is filled: a read-only source folder must still take the
  // copies of its entries, and nobody else should see it half-made.
  if (::mkdirat(folder, name, 0700) != 0) {
    return onCopy(errno, "creating");
  }
  UniqueFd to(::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!to) {
    return onCopy(errno, "opening");
  }
  if (top && onCreated_) {
    onCreated_(to.get());
  }

  FolderStream stream(::fdopendir(from.get()));
  if (stream.get() == nullptr) {
    return onSource(errno, "listing");
  }
  int fromFd = from.release();  // the stream owns it now
  const size_t sourceLength = source_.size();
  const size_t destinationLength = destination_.size();
  // Its own string: source_ grows while the entries are copied.
  const std::string listed = source_;
  Result<void> filled = forEachEntry(stream.get(), listed, [&](const dirent& entry) -> Result<void> {
    const char* entryName = entry.d_name;
    source_.append(1, '/').append(entryName);
    destination_.append(1, '/').append(entryName);
    if (Result<void> copied = copyItem(fromFd, entryName, to.get(), entryName, entry.d_type, false); !copied) {
      return copied;
    }
    source_.resize(sourceLength);
    destination_.resize(destinationLength);
    return {};
  });
  if (!filled) {
    return filled;
  }

  // Attributes first: writing them needs the owner's write permission, which the
  // final bits may take away.  The times come last, as everything before them counts
  // as a change.
  if (Result<void> copied = content_.copyAttributes(fromFd, to.get(), status, ends()); !copied) {
    return copied;
  }
  if (::fchmod(to.get(), status.st_mode & kFolderPermissions) != 0) {
    return onCopy(errno, "setting permissions of");
  }
  if (::futimens(to.get(), itemTimes(status).data()) != 0) {
    return onCopy(errno, "setting times of");
  }
  return {};
}

Result<void> TreeCopier::copyFile(UniqueFd from, const struct stat& status, int folder,
                                                const char* name, bool top) {
  const mode_t wanted = status.st_mode & kFilePermissions;
  // Created writable for the owner so that the attributes can still be written; when
  // that and the mask leave the wanted bits as they are, no chmod is needed.
  const mode_t created = (wanted | S_IRUSR | S_IWUSR) & ~mask_;
  UniqueFd to(::openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, created));
  if (!to) {
    return onCopy(errno, "creating");
  }
  if (top && onCreated_) {
    onCreated_(to.get());
  }
  if (Result<void> copied = content_.copyData(from.get(), to.get(), status.st_size, ends()); !copied) {
    return copied;
  }
  if (Result<void> copied = content_.copyAttributes(from.get(), to.get(), status, ends()); !copied) {
    return copied;
  }
  if (created != wanted && ::fchmod(to.get(), wanted) != 0) {
    return onCopy(errno, "setting permissions of");
  }
  if (::futimens(to.get(), itemTimes(status).data()) != 0) {
    return onCopy(errno, "setting times of");
  }
  // Some file systems report a failed write only when the file is closed.
  if (::close(to.release()) != 0 && errno != EINTR) {
    return onCopy(errno, "writing");
  }
  return {};
}

Result<void> TreeCopier::copyLink(int sourceFolder, const char* sourceName, const struct stat& status,
                                                int folder, const char* name) {
  // The size the status gives is the target's length; a target that grew since is
  // read again into more room.
  size_t room = static_cast<size_t>(status.st_size) + 1;
  for (;;) {
    linkTarget_.resize(room);
    ssize_t length = ::readlinkat(sourceFolder, sourceName, linkTarget_.data(), room);
    if (length < 0) {
      return onSource(errno, "reading");
    }
    if (static_cast<size_t>(length) < room) {
      linkTarget_.resize(static_cast<size_t>(length));
      break;
    }
    room *= 2;
  }
  if (::symlinkat(linkTarget_.c_str(), folder, name) != 0) {
    return onCopy(errno, "creating");
  }
  if (::utimensat(folder, name, itemTimes(status).data(), AT_SYMLINK_NOFOLLOW) != 0) {
    return onCopy(errno, "setting times of");
  }
  return {};
}

}  // namespace

Result<void> copyTree(const std::string& source, int folder, const std::string& name,
                                    const std::string& shownPath, const std::function<void(int)>& onCreated) {
  TreeCopier copier(source, shownPath, onCreated);
  return copier.copyTop(folder, name);
}

}  // namespace installer
