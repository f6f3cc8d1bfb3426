#include "selftest/tree_compare.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <optional>

#include "platform/error.h"
#include "platform/fd.h"
#include "platform/fs.h"
#include "platform/hidden.h"
#include "selftest/item_state.h"

namespace installer::selftest {

namespace {

// A file this long with at most half of it on the disk is sparse.
constexpr off_t kSparseFrom = off_t{1} << 20;

std::string joined(const std::string& root, const std::string& path) {
  return path.empty() ? root : root + "/" + path;
}

std::string shown(const std::string& path) { return path.empty() ? "(the top folder)" : path; }

Result<void> snapshotItem(const std::string& root, const std::string& path, TreeSnapshot& items) {
  TreeItem item;
  item.path = path;
  const std::string full = joined(root, path);
  if (::lstat(full.c_str(), &item.status) != 0) {
    return systemError(errno, "reading the status of", full);
  }
  if (S_ISLNK(item.status.st_mode)) {
    std::optional<std::string> target = linkTarget(full);
    if (!target) {
      return systemError(errno, "reading the link", full);
    }
    item.linkTarget = std::move(*target);
  }
  Result<std::vector<std::string>> names = attributeNames(full);
  if (!names && !attributesUnsupported(names.error())) {
    return names.error();
  }
  for (const std::string& name : names ? *names : std::vector<std::string>{}) {
    Result<std::optional<std::string>> value = attributeValue(full, name);
    if (!value) {
      return value.error();
    }
    if (*value) {
      item.attributes.emplace_back(name, **value);
    }
  }
  std::sort(item.attributes.begin(), item.attributes.end());
  Result<bool> hidden = readHiddenFlag(full);
  if (!hidden) {
    return hidden.error();
  }
  item.hidden = *hidden;
  bool folder = S_ISDIR(item.status.st_mode);
  items.push_back(std::move(item));
  if (!folder) {
    return {};
  }
  Result<std::vector<std::string>> entries = listFolder(full);
  if (!entries) {
    return entries.error();
  }
  for (const std::string& entry : *entries) {
    if (Result<void> done = snapshotItem(root, path.empty() ? entry : path + "/" + entry, items); !done) {
      return done;
    }
  }
  return {};
}

std::string timeText(const timespec& time) {
  char text[48];
  std::snprintf(text, sizeof text, "%lld.%09ld", static_cast<long long>(time.tv_sec), time.tv_nsec);
  return text;
}

bool sameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

std::string octal(mode_t mode) {
  char text[16];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string kindName(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISREG(mode)) return "a file";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "something else";
}

long long allocatedBytes(const struct stat& status) { return static_cast<long long>(status.st_blocks) * 512; }

// Where the data of two files first differ; nothing when they are the same.
std::optional<std::string> dataDifference(const std::string& first, const std::string& second) {
  UniqueFd a(::open(first.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  UniqueFd b(::open(second.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!a || !b) {
    return "cannot be opened to compare: " + errorText(errno);
  }
  std::vector<char> left(1 << 16);
  std::vector<char> right(1 << 16);
  for (long long offset = 0;;) {
    ssize_t got = ::read(a.get(), left.data(), left.size());
    ssize_t other = got <= 0 ? ::read(b.get(), right.data(), right.size()) : 0;
    if (got > 0) {
      // Read the same amount from the copy.
      size_t want = static_cast<size_t>(got);
      size_t have = 0;
      while (have < want) {
        ssize_t more = ::read(b.get(), right.data() + have, want - have);
        if (more <= 0) {
          return "the copy is shorter: it ends at byte " + std::to_string(offset + static_cast<long long>(have));
        }
        have += static_cast<size_t>(more);
      }
      auto mismatch = std::mismatch(left.begin(), left.begin() + got, right.begin());
      if (mismatch.first != left.begin() + got) {
        return "the data differ from byte " + std::to_string(offset + (mismatch.first - left.begin()));
      }
      offset += got;
      continue;
    }
    if (got < 0 || other < 0) {
      return "cannot be read to compare: " + errorText(errno);
    }
    if (other > 0) {
      return "the copy is longer than the source's " + std::to_string(offset) + " bytes";
    }
    return std::nullopt;
  }
}

void compareAttributes(const TreeItem& source, const TreeItem& copy, std::vector<Difference>& differences) {
  const std::optional<std::string> fork = resourceForkAttribute();
  const std::optional<std::string> hiddenAttribute = hiddenFlagAttribute();
  for (const auto& [name, value] : source.attributes) {
    if (name == hiddenAttribute) {
      continue;  // the hidden flag has its own line
    }
    Aspect aspect = name == fork ? Aspect::resourceFork : Aspect::attributes;
    auto found = std::find_if(copy.attributes.begin(), copy.attributes.end(),
                              [&](const auto& attribute) { return attribute.first == name; });
    if (found == copy.attributes.end()) {
      differences.push_back({aspect, shown(source.path) + ": the attribute " + name + " is missing from the copy"});
    } else if (found->second != value) {
      differences.push_back({aspect, shown(source.path) + ": the attribute " + name + " holds " +
                                         std::to_string(found->second.size()) + " bytes in the copy, " +
                                         std::to_string(value.size()) + " other ones in the source"});
    }
  }
}

void compareItem(const TreeItem& source, const std::string& sourceRoot, const TreeItem& copy,
                 const std::string& copyRoot, const CompareRules& rules, std::vector<Difference>& differences) {
  const std::string name = shown(source.path);
  const struct stat& from = source.status;
  const struct stat& to = copy.status;
  if ((from.st_mode & S_IFMT) != (to.st_mode & S_IFMT)) {
    differences.push_back({Aspect::items, name + ": " + kindName(to.st_mode) + " in the copy, " +
                                              kindName(from.st_mode) + " in the source"});
    return;
  }
  if (S_ISREG(from.st_mode)) {
    if (from.st_dev == to.st_dev && from.st_ino == to.st_ino) {
      differences.push_back({Aspect::items, name + ": the copy is the source's own file, not a copy"});
    } else if (from.st_size != to.st_size) {
      differences.push_back({Aspect::items, name + ": " + std::to_string(to.st_size) + " bytes in the copy, " +
                                                std::to_string(from.st_size) + " in the source"});
    } else if (auto data = dataDifference(joined(sourceRoot, source.path), joined(copyRoot, copy.path))) {
      differences.push_back({Aspect::items, name + ": " + *data});
    }
    if (from.st_size >= kSparseFrom && allocatedBytes(from) * 2 < from.st_size &&
        allocatedBytes(to) * 2 >= to.st_size) {
      differences.push_back({Aspect::holes, name + ": the copy takes " + std::to_string(allocatedBytes(to) / 1024) +
                                                " KiB on the disk, the source " +
                                                std::to_string(allocatedBytes(from) / 1024) + " KiB, for " +
                                                std::to_string(from.st_size / 1024) + " KiB of data"});
    }
  }
  if (S_ISLNK(from.st_mode) && source.linkTarget != copy.linkTarget) {
    differences.push_back({Aspect::links, name + ": points to \"" + copy.linkTarget + "\" in the copy, \"" +
                                              source.linkTarget + "\" in the source"});
  }
  if (!S_ISLNK(from.st_mode) && (to.st_mode & 07777) != keptMode(from, rules.byRoot)) {
    differences.push_back({Aspect::modes, name + ": mode " + octal(to.st_mode) + " in the copy, " +
                                              octal(keptMode(from, rules.byRoot)) + " expected (" +
                                              octal(from.st_mode) + " in the source)"});
  }
  if (rules.times) {
    for (auto [what, read] : {std::pair{"modification", &modificationTimeOf}, std::pair{"access", &accessTimeOf}}) {
      if (!sameTime(read(from), read(to))) {
        differences.push_back({Aspect::times, name + ": " + what + " time " + timeText(read(to)) +
                                                  " in the copy, " + timeText(read(from)) + " in the source"});
      }
    }
  }
  if (rules.attributes) {
    compareAttributes(source, copy, differences);
  }
  if (source.hidden != copy.hidden) {
    differences.push_back({Aspect::hidden, name + (copy.hidden ? ": hidden in the copy only" : ": hidden in the source only")});
  }
}

// Names that are one file in the source must be one file in the copy, with no other
// name; and a file with one name must not have gained others.
void compareHardLinks(const TreeSnapshot& source, const TreeSnapshot& copy, std::vector<Difference>& differences) {
  std::map<ino_t, std::vector<size_t>> groups;  // source inode -> indexes of its names
  for (size_t i = 0; i < source.size(); ++i) {
    if (S_ISREG(source[i].status.st_mode)) {
      groups[source[i].status.st_ino].push_back(i);
    }
  }
  std::map<std::string, const TreeItem*> copies;
  for (const TreeItem& item : copy) {
    copies[item.path] = &item;
  }
  for (const auto& [inode, names] : groups) {
    const TreeItem* first = nullptr;
    for (size_t index : names) {
      auto found = copies.find(source[index].path);
      if (found == copies.end() || !S_ISREG(found->second->status.st_mode)) {
        continue;  // reported as a missing item
      }
      const TreeItem* copied = found->second;
      if (first == nullptr) {
        first = copied;
      } else if (copied->status.st_ino != first->status.st_ino) {
        differences.push_back({Aspect::hardLinks, shown(copied->path) + ": a file of its own in the copy, one file with " +
                                                      shown(first->path) + " in the source"});
      }
      if (copied->status.st_nlink != names.size()) {
        differences.push_back({Aspect::hardLinks, shown(copied->path) + ": " + std::to_string(copied->status.st_nlink) +
                                                      " names in the copy, " + std::to_string(names.size()) +
                                                      " in the source bundle"});
      }
    }
  }
}

}  // namespace

std::string_view aspectName(Aspect aspect) {
  switch (aspect) {
    case Aspect::items: return "folders and file data";
    case Aspect::modes: return "permission modes";
    case Aspect::times: return "times to the nanosecond";
    case Aspect::links: return "symbolic links";
    case Aspect::hardLinks: return "hard links";
    case Aspect::holes: return "holes in sparse files";
    case Aspect::attributes: return "extended attributes";
    case Aspect::resourceFork: return "resource fork";
    case Aspect::hidden: return "hidden item inside";
  }
  return "?";
}

Result<TreeSnapshot> snapshotTree(const std::string& root) {
  TreeSnapshot items;
  if (Result<void> done = snapshotItem(root, "", items); !done) {
    return done.error();
  }
  std::sort(items.begin(), items.end(), [](const TreeItem& a, const TreeItem& b) { return a.path < b.path; });
  return items;
}

Result<void> restat(TreeSnapshot& items, const std::string& root) {
  for (TreeItem& item : items) {
    const std::string full = joined(root, item.path);
    if (::lstat(full.c_str(), &item.status) != 0) {
      return systemError(errno, "reading the status of", full);
    }
  }
  return {};
}

mode_t keptMode(const struct stat& status, bool byRoot) {
  const bool folder = S_ISDIR(status.st_mode);
  mode_t kept = status.st_mode & (folder ? 01777 : 0777);
  if (!byRoot) {
    return kept;
  }
  const mode_t search = folder || (kept & S_IXUSR) != 0 ? 0011 : 0;
  return (kept & ~static_cast<mode_t>(S_IWOTH)) | 0044 | search;
}

std::vector<Difference> compareTrees(const TreeSnapshot& source, const std::string& sourceRoot,
                                     const TreeSnapshot& copy, const std::string& copyRoot,
                                     const CompareRules& rules) {
  std::vector<Difference> differences;
  size_t i = 0;
  size_t j = 0;
  while (i < source.size() || j < copy.size()) {
    if (j == copy.size() || (i < source.size() && source[i].path < copy[j].path)) {
      differences.push_back({Aspect::items, shown(source[i].path) + ": missing from the copy"});
      ++i;
    } else if (i == source.size() || copy[j].path < source[i].path) {
      differences.push_back({Aspect::items, shown(copy[j].path) + ": in the copy only"});
      ++j;
    } else {
      compareItem(source[i], sourceRoot, copy[j], copyRoot, rules, differences);
      ++i;
      ++j;
    }
  }
  compareHardLinks(source, copy, differences);
  return differences;
}

}  // namespace installer::selftest
