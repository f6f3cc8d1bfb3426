#pragma once

// Support for the hdiutil stand-in's tests: real disk images, 7-Zip's view of them
// (read with the stand-in's own parser), and the stand-in run as the tool runs it.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "image/record.h"
#include "support/files.h"
#include "support/log_capture.h"
#include "support/workspace.h"

namespace testing_support {

// The folder of real disk images made by Apple's hdiutil, shared beside the
// repository ("../shared/fixtures/images"), or nothing when it is not there.
std::optional<std::string> fixtureImagesFolder();
// The path of the image `relative` below that folder.
std::string fixtureImage(const std::string& relative);

#define SKIP_WITHOUT_FIXTURE_IMAGES()                                                         \
  if (!::testing_support::fixtureImagesFolder()) {                                            \
    GTEST_SKIP() << "the real disk images (../shared/fixtures/images beside the repository) " \
                    "are not here";                                                           \
  }

#define SKIP_WITHOUT_STANDIN()                                              \
  if (!::testing_support::sevenZipInstalled()) {                            \
    GTEST_SKIP() << "the hdiutil stand-in needs 7zz (Debian package 7zip)"; \
  }

// Whether 7zz, which the stand-in reads images with, is on PATH.
bool sevenZipInstalled();

// Whether the folder is empty or missing: what the stand-in's base must be once
// every volume is detached.
bool holdsNothing(const std::string& folder);

// A tree by path relative to its top: "d" for a folder, "f SIZE" for a file,
// "l SIZE -> TARGET" for a symbolic link (SIZE is the target's length).
using Tree = std::map<std::string, std::string>;
// The tree under `folder`, links not followed.
Tree treeOf(const std::string& folder);

// What 7-Zip lists in each file system of the image, one tree per volume in partition
// order, without the folder 7-Zip adds on top of an HFS volume.  A link's target is
// left out ("l SIZE") where the listing does not give it.
std::vector<Tree> sevenZipVolumeTrees(const std::string& image);

// Makes an ISO 9660 image with Rock Ridge (modes and links kept) at `image`, named
// `volumeName`, holding each folder or file `source` at the image path `at`
// ({at, source} pairs; "/" for the image's top).  True on success.
bool makeIsoImage(const std::string& image, const std::string& volumeName,
                  const std::vector<std::pair<std::string, std::string>>& contents);

// Runs the stand-in as the tool does ("echo YES | hdiutil ARGS..." through bash),
// with the stand-in's mount points under `base`.
ProgramRun runStandIn(const std::vector<std::string>& arguments, const std::string& base);

// An image attached by the stand-in; detaches whatever is still attached when it
// goes, so that a failed test leaves no mount behind.
class AttachedImage {
public:
  AttachedImage(const std::string& image, const std::string& base);
  ~AttachedImage();
  AttachedImage(const AttachedImage&) = delete;
  AttachedImage& operator=(const AttachedImage&) = delete;

  const ProgramRun& run() const { return run_; }
  // The system entities of the attach's property list, as the tool reads them.
  const std::vector<installer::SystemEntity>& entities() const { return entities_; }
  std::vector<std::string> mountPoints() const;
  // Detaches one mount point, which is then no longer cleaned up on destruction.
  ProgramRun detach(const std::string& mountPoint);

private:
  std::string base_;
  ProgramRun run_;
  std::vector<installer::SystemEntity> entities_;
  std::vector<std::string> attached_;
};

}  // namespace testing_support
