#pragma once

#include <string>

namespace testing_support {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it on
// destruction.  Its path has no symbolic links in it.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

// Writes `bytes` to the file at `path`, creating folders on the way.
void writeFile(const std::string& path, const std::string& bytes, unsigned mode = 0644);
// The whole file at `path` ("" when it cannot be read).
std::string readFile(const std::string& path);
bool exists(const std::string& path);

}  // namespace testing_support
