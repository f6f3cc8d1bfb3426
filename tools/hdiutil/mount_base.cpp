#include "mount_base.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/error.h"
#include "platform/fd.h"
#include "platform/fs.h"
#include "platform/removal.h"
#include "volume_tree.h"

namespace installer::standin {

namespace {

constexpr const char* kMarkerName = ".hdiutil-standin-mount";
constexpr size_t kTokenBytes = 16;
constexpr size_t kIdLength = 6;  // what mkdtemp puts in place of XXXXXX

std::string tokenPath(const std::string& base, const std::string& id) { return base + "/." + id + ".token"; }

// A fresh token for the slot in `folder`, which the Error names.
Result<std::string> randomToken(const std::string& folder) {
  unsigned char bytes[kTokenBytes];
  if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    return systemError(errno, "drawing a token for", folder);
  }
  static const char kDigits[] = "0123456789abcdef";
  std::string token;
  for (unsigned char byte : bytes) {
    token += kDigits[byte >> 4];
    token += kDigits[byte & 0xf];
  }
  return token;
}

bool isToken(const std::string& text) {
  return text.size() == 2 * kTokenBytes && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

bool isId(const std::string& text) {
  static const char kIdCharacters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  return text.size() == kIdLength && text.find_first_not_of(kIdCharacters) == std::string::npos;
}

// Creates the file at `path` (never through a link, never over an existing item)
// holding `bytes`.
Result<void> writeNewFile(const std::string& path, const std::string& bytes) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) {
    return systemError(errno, "creating", path);
  }
  if (::write(fd.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    return systemError(errno, "writing", path);
  }
  return {};
}

// The bytes of a small regular file at `path` that belongs to the running user;
// nothing for a link, anything else, or a file of someone else.
std::optional<std::string> readOwnFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  constexpr off_t kLargestRecord = 65536;
  if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid() ||
      status.st_size > kLargestRecord) {
    return std::nullopt;
  }
  std::string bytes(static_cast<size_t>(status.st_size), '\0');
  if (::read(fd.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    return std::nullopt;
  }
  return bytes;
}

// Marker: the token, the disk entries, then the mount point as the rest of the file
// (a volume name may hold any character but '/').
std::string markerText(const MountSlot& slot) {
  return slot.token + "\n" + slot.diskEntry + "\n" + slot.volumeEntry + "\n" + slot.mountPoint;
}

std::optional<MountSlot> parseMarker(const std::string& text) {
  MountSlot slot;
  size_t first = text.find('\n');
  size_t second = first == std::string::npos ? first : text.find('\n', first + 1);
  size_t third = second == std::string::npos ? second : text.find('\n', second + 1);
  if (third == std::string::npos) {
    return std::nullopt;
  }
  slot.token = text.substr(0, first);
  slot.diskEntry = text.substr(first + 1, second - first - 1);
  slot.volumeEntry = text.substr(second + 1, third - second - 1);
  slot.mountPoint = text.substr(third + 1);
  return slot;
}

bool isDirectoryOf(const std::string& path, uid_t owner) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == owner;
}

// "/dev/disk12s3" -> 12.
std::optional<int> diskNumber(const std::string& entry) {
  constexpr std::string_view kPrefix = "/dev/disk";
  if (!entry.starts_with(kPrefix)) {
    return std::nullopt;
  }
  int number = std::atoi(entry.c_str() + kPrefix.size());
  return number > 0 ? std::optional<int>(number) : std::nullopt;
}

}  // namespace

Result<std::string> openMountBase(Base mode) {
  std::string path;
  if (const char* configured = std::getenv("HDIUTIL_STANDIN_DIR"); configured != nullptr && *configured != '\0') {
    path = configured;
  } else {
    const char* temporary = std::getenv("TMPDIR");
    path = std::string(temporary != nullptr && *temporary == '/' ? temporary : "/tmp") + "/hdiutil-standin-" +
           std::to_string(::geteuid());
  }
  if (path.front() != '/') {
    return Error{0, "HDIUTIL_STANDIN_DIR is not an absolute path: " + path};
  }
  if (mode == Base::create && ::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    return systemError(errno, "creating", path);
  }
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) {
    return systemError(errno, "resolving", path);
  }
  std::string base = resolved;

  // Others must not be able to put look-alike mount points or records in the base,
  // nor swap the base itself for another folder.
  struct stat status {};
  if (::lstat(base.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::geteuid() ||
      (status.st_mode & 077) != 0) {
    return Error{0, base + " is not a folder that only its owner, this user, may use"};
  }
  size_t slash = base.rfind('/');
  std::string parent = slash == 0 ? std::string("/") : base.substr(0, slash);
  if (::stat(parent.c_str(), &status) != 0 || (status.st_uid != 0 && status.st_uid != ::geteuid()) ||
      ((status.st_mode & 022) != 0 && (status.st_mode & S_ISVTX) == 0)) {
    return Error{0, parent + " may be changed by other users"};
  }
  return base;
}

Result<MountSlot> reserveMountPoint(const std::string& base, const std::string& volumeName,
                                    const std::string& diskEntry, const std::string& volumeEntry) {
  std::string pattern = base + "/XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    return systemError(errno, "creating a mount point in", base);
  }
  MountSlot slot;
  slot.folder = pattern;
  slot.id = slot.folder.substr(base.size() + 1);
  slot.mountPoint = slot.folder + "/" + (volumeName == kMarkerName ? volumeName + " 1" : volumeName);
  slot.diskEntry = diskEntry;
  slot.volumeEntry = volumeEntry;
  Result<void> recorded;
  if (Result<std::string> token = randomToken(slot.folder)) {
    slot.token = *token;
    recorded = writeNewFile(tokenPath(base, slot.id), slot.token);
    if (recorded) {
      recorded = writeNewFile(slot.folder + "/" + kMarkerName, markerText(slot));
    }
  } else {
    recorded = token.error();
  }
  if (!recorded) {
    (void)releaseMountPoint(base, slot);
    return recorded.error();
  }
  return slot;
}

std::optional<MountSlot> findOwnMountPoint(const std::string& base, const std::string& mountPoint) {
  std::string path = mountPoint;
  while (path.size() > 1 && path.back() == '/') {
    path.pop_back();
  }
  if (path.empty() || path.front() != '/') {
    return std::nullopt;
  }
  // Only the path as the stand-in wrote it: no empty, "." or ".." components.
  for (size_t start = 1; start <= path.size();) {
    size_t end = path.find('/', start);
    end = end == std::string::npos ? path.size() : end;
    std::string component = path.substr(start, end - start);
    if (component.empty() || component == "." || component == "..") {
      return std::nullopt;
    }
    start = end + 1;
  }
  size_t nameStart = path.rfind('/');
  std::string folder = path.substr(0, nameStart);
  size_t idStart = folder.rfind('/');
  if (idStart == std::string::npos || folder.substr(0, idStart) != base) {
    return std::nullopt;
  }
  std::string id = folder.substr(idStart + 1);
  // Both levels must be real folders (a link would lead elsewhere), the one that
  // holds the marker ours.
  struct stat status {};
  if (!isId(id) || !isDirectoryOf(folder, ::geteuid()) || ::lstat(path.c_str(), &status) != 0 ||
      !S_ISDIR(status.st_mode)) {
    return std::nullopt;
  }
  std::optional<std::string> marker = readOwnFile(folder + "/" + kMarkerName);
  std::optional<MountSlot> slot = marker ? parseMarker(*marker) : std::nullopt;
  if (!slot || slot->mountPoint != path || !isToken(slot->token)) {
    return std::nullopt;
  }
  std::optional<std::string> kept = readOwnFile(tokenPath(base, id));
  if (!kept || *kept != slot->token) {
    return std::nullopt;
  }
  slot->id = id;
  slot->folder = folder;
  return slot;
}

std::string boundVolumePath(const std::string& base, const MountSlot& slot) {
  return base + "/." + slot.id + ".volume";
}

Result<void> releaseMountPoint(const std::string& base, const MountSlot& slot) {
  Result<void> outcome;
  auto removeTree = [&](const std::string& path) {
    if (outcome && itemExists(path)) {
      makeFoldersRemovable(path);
      outcome = removeItem(path);
    }
  };
  if (!slot.mountPoint.empty()) {
    removeTree(slot.mountPoint);
  }
  removeTree(boundVolumePath(base, slot));
  // The records go last: while anything else is left, a second detach can finish.
  removeTree(slot.folder + "/" + kMarkerName);
  if (outcome && ::rmdir(slot.folder.c_str()) != 0 && errno != ENOENT) {
    outcome = systemError(errno, "removing", slot.folder);
  }
  removeTree(tokenPath(base, slot.id));
  return outcome;
}

std::set<int> disksInUse(const std::string& base) {
  std::set<int> disks;
  Result<std::vector<std::string>> entries = listFolder(base);
  for (const auto& name : entries ? *entries : std::vector<std::string>{}) {
    if (!isId(name)) {
      continue;
    }
    std::optional<std::string> marker = readOwnFile(base + "/" + name + "/" + kMarkerName);
    if (std::optional<MountSlot> slot = marker ? parseMarker(*marker) : std::nullopt) {
      for (const auto& entry : {slot->diskEntry, slot->volumeEntry}) {
        if (auto number = diskNumber(entry)) {
          disks.insert(*number);
        }
      }
    }
  }
  return disks;
}

}  // namespace installer::standin
