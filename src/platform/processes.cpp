#include "platform/processes.h"

#include <cstdlib>

namespace installer {

namespace {

// The data volume's folder, which the system volume's folders are firmlinked into.
constexpr std::string_view kDataVolume = "/System/Volumes/Data/";

// `path` without the data volume's prefix, when it has it.
std::string_view onSystemVolume(std::string_view path) {
  if (path.starts_with(kDataVolume)) {
    path.remove_prefix(kDataVolume.size() - 1);
  }
  return path;
}

}  // namespace

std::string resolvedItemPath(const std::string& item) {
  const size_t slash = item.rfind('/');
  if (slash == std::string::npos) {
    return item;
  }
  const std::string folder = slash == 0 ? "/" : item.substr(0, slash);
  char* resolved = ::realpath(folder.c_str(), nullptr);
  if (resolved == nullptr) {
    return item;
  }
  const std::string base = resolved;
  std::free(resolved);
  return (base == "/" ? "" : base) + item.substr(slash);
}

bool liesInside(std::string_view executable, std::string_view item, Firmlinks firmlinks) {
  if (firmlinks == Firmlinks::dataVolume) {
    executable = onSystemVolume(executable);
    item = onSystemVolume(item);
  }
  return !item.empty() && executable.starts_with(item) &&
         (executable.size() == item.size() || executable[item.size()] == '/');
}

}  // namespace installer
