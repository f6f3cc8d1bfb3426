#pragma once

#include <dirent.h>

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

}  // namespace installer
