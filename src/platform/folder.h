#pragma once

#include <dirent.h>

#include <cerrno>
#include <string_view>

#include "platform/error.h"
#include "platform/result.h"

namespace installer {

// Owns one open folder stream and closes it when it goes out of scope.
class FolderStream {
public:
  explicit FolderStream(DIR* stream) : stream_(stream) {}
  ~FolderStream() {
    if (stream_ != nullptr) {
      ::closedir(stream_);
    }
  }
  FolderStream(const FolderStream&) = delete;
  FolderStream& operator=(const FolderStream&) = delete;
  DIR* get() const { return stream_; }

private:
  DIR* stream_;
};

inline bool isDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Calls `visit(const dirent&)`, which returns a Result<void>, for each entry of the
// open folder stream but "." and "..", in the order the file system gives them, and
// stops at the first failure.  `shownPath` names the folder in a listing's Error.
template <typename Visit>
Result<void> forEachEntry(DIR* stream, std::string_view shownPath, Visit&& visit) {
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream);
    if (entry == nullptr) {
      if (errno != 0) {
        return systemError(errno, "listing", shownPath);
      }
      return {};
    }
    if (isDotOrDotDot(entry->d_name)) {
      continue;
    }
    if (Result<void> visited = visit(*entry); !visited) {
      return visited;
    }
  }
}

}  // namespace installer
