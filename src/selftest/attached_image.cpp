#include "selftest/attached_image.h"

#include <sys/stat.h>

#include <utility>

#include "image/mount.h"
#include "image/unmount.h"
#include "platform/error.h"
#include "platform/fs.h"

namespace installer::selftest {

std::vector<std::string> mountPoints(const std::vector<SystemEntity>& entities) {
  std::vector<std::string> points;
  for (const SystemEntity& entity : entities) {
    if (entity.mountPoint && !entity.mountPoint->empty()) {
      points.push_back(*entity.mountPoint);
    }
  }
  return points;
}

bool separateMount(const std::string& path) {
  struct stat status {}, parentStatus {};
  std::string parent = path.substr(0, path.rfind('/'));
  return ::stat(path.c_str(), &status) == 0 && ::stat(parent.empty() ? "/" : parent.c_str(), &parentStatus) == 0 &&
         status.st_dev != parentStatus.st_dev;
}

Result<AttachedImage> AttachedImage::attach(const std::string& workingFolder, const std::string& imageName) {
  MountOutcome mounted = mountImage(workingFolder, imageName, kAttachLimit);
  if (mounted.exitStatus != 0 || !mounted.entities) {
    return failure("the mount step ended with status " + std::to_string(mounted.exitStatus), "attaching",
                   imageName);
  }
  AttachedImage image(workingFolder, imageName, mountPoints(*mounted.entities), wholeDevice(*mounted.entities));
  if (image.points_.empty()) {
    return failure("the mount record lists no mount point", "attaching", imageName);
  }
  return image;
}

AttachedImage::AttachedImage(std::string workingFolder, std::string imageName, std::vector<std::string> points,
                             std::string device)
    : workingFolder_(std::move(workingFolder)),
      imageName_(std::move(imageName)),
      points_(std::move(points)),
      device_(std::move(device)) {}

AttachedImage::AttachedImage(AttachedImage&& other) noexcept
    : workingFolder_(std::move(other.workingFolder_)),
      imageName_(std::move(other.imageName_)),
      points_(std::exchange(other.points_, {})),
      device_(std::move(other.device_)) {}

AttachedImage::~AttachedImage() { (void)detach(); }

Result<void> AttachedImage::detach() {
  if (points_.empty()) {
    return {};
  }
  std::string stay;
  for (const std::string& point : std::exchange(points_, {})) {
    unmountDMG(point, imageName_, device_, kDetachLimit);
    if (itemExists(point) && separateMount(point)) {
      stay += (stay.empty() ? "" : ", ") + point;
    }
  }
  if (!stay.empty()) {
    // The record stays, for detachLeftovers.
    return failure("still mounted: " + stay, "detaching", imageName_);
  }
  removeFiles(mountRecordPath(workingFolder_));
  return {};
}

}  // namespace installer::selftest
