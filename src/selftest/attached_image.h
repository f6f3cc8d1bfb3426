#pragma once

#include <string>
#include <vector>

#include "image/record.h"
#include "platform/result.h"

// A disk image attached with the tool's own steps, as the image checks and the
// benchmark attach theirs.
namespace installer::selftest {

// The folder in the workspace that holds the images the self-test attaches and their
// mount record (qzmount.plist), where detachLeftovers looks for what stayed attached.
inline constexpr const char* kImageFolder = "image";

// The mount points that `entities` list, in order.
std::vector<std::string> mountPoints(const std::vector<SystemEntity>& entities);

// Whether a file system of its own is mounted at `path`.
bool separateMount(const std::string& path);

// The image `imageName` in `workingFolder`, attached by mountImage (hdiutil through
// bash, its record in the working folder) and detached by unmountDMG when detach()
// is called or the object goes, whichever comes first.
class AttachedImage {
public:
  // Attaches the image; an Error when the mount step did not end with a record that
  // lists a mount point.
  static Result<AttachedImage> attach(const std::string& workingFolder, const std::string& imageName);

  AttachedImage(AttachedImage&& other) noexcept;
  AttachedImage& operator=(AttachedImage&&) = delete;
  AttachedImage(const AttachedImage&) = delete;
  ~AttachedImage();

  const std::vector<std::string>& points() const { return points_; }

  // Detaches every volume, and removes the mount record once none stays; an Error
  // naming each mount point that stays mounted.
  Result<void> detach();

private:
  AttachedImage(std::string workingFolder, std::string imageName, std::vector<std::string> points,
                std::string device);

  std::string workingFolder_;
  std::string imageName_;
  std::vector<std::string> points_;
  std::string device_;
};

}  // namespace installer::selftest
