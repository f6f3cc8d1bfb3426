// tree-digest DIR: one sorted line per item below DIR with what a copy must keep:
// relative path, kind, permission bits, owner, size, modification time to the
// nanosecond, link target, user.* extended attributes and a hash of the contents.
// Two trees hold the same things when their digests are equal.
#include <ftw.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> lines;
size_t rootLength = 0;

std::string hex(const char* data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    unsigned char c = static_cast<unsigned char>(data[i]);
    text += digits[c >> 4];
    text += digits[c & 15];
  }
  return text;
}

std::string contentHash(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return "unreadable";
  }
  std::uint64_t hash = 1469598103934665603ull;
  static char buffer[1 << 16];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) {
    for (ssize_t i = 0; i < got; ++i) {
      hash = (hash ^ static_cast<unsigned char>(buffer[i])) * 1099511628211ull;
    }
  }
  close(fd);
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

std::string attributes(const char* path) {
  char names[65536];
  ssize_t listed = llistxattr(path, names, sizeof names);
  std::vector<std::string> found;
  for (ssize_t at = 0; listed > 0 && at < listed; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
    const char* name = names + at;
    if (std::strncmp(name, "user.", 5) != 0) {
      continue;
    }
    static char value[65536];
    ssize_t length = lgetxattr(path, name, value, sizeof value);
    found.push_back(std::string(name) + "=" + hex(value, length < 0 ? 0 : static_cast<size_t>(length)));
  }
  std::sort(found.begin(), found.end());
  std::string text;
  for (const auto& item : found) {
    text += " " + item;
  }
  return text;
}

int visit(const char* path, const struct stat* status, int, FTW*) {
  char line[512];
  const char* kind = S_ISDIR(status->st_mode) ? "d" : S_ISLNK(status->st_mode) ? "l" : S_ISREG(status->st_mode) ? "f" : "?";
  std::snprintf(line, sizeof line, " %s %04o %u:%u %lld %lld.%09ld", kind, status->st_mode & 07777,
                status->st_uid, status->st_gid, S_ISDIR(status->st_mode) ? 0LL : static_cast<long long>(status->st_size),
                static_cast<long long>(status->st_mtim.tv_sec), status->st_mtim.tv_nsec);
  std::string text(path + rootLength);
  text.append(line);
  if (S_ISLNK(status->st_mode)) {
    char target[4096];
    ssize_t length = readlink(path, target, sizeof target);
    text.append(" -> ").append(target, length < 0 ? 0 : static_cast<size_t>(length));
  } else if (S_ISREG(status->st_mode)) {
    text.append(" ").append(contentHash(path));
  }
  text += attributes(path);
  lines.push_back(text);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  rootLength = std::strlen(argv[1]);
  if (nftw(argv[1], visit, 64, FTW_PHYS) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  std::sort(lines.begin(), lines.end());
  for (const auto& line : lines) {
    std::printf(".%s\n", line.c_str());
  }
  return 0;
}
