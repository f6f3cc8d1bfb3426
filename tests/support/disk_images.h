#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

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

#define SKIP_WITHOUT_STANDIN()                                                                \
  if (!::testing_support::standInAvailable()) {                                               \
    GTEST_SKIP() << "the hdiutil stand-in is built on Linux only, and needs 7zz (Debian "     \
                    "package 7zip)";                                                          \
  }

// Whether the Linux hdiutil stand-in was built and 7zz is installed.
bool standInAvailable();
// The stand-in's path.
std::string standInBinary();

// Whether the folder is empty or missing: what the stand-in's base must be once
// every volume is detached.
bool holdsNothing(const std::string& folder);

// One item of a folder tree, as far as volume contents are compared.
struct TreeItem {
  char kind = '?';          // 'd' folder, 'f' file, 'l' symbolic link
  std::uint64_t size = 0;   // files only
  std::string linkTarget;   // links only, when known
  unsigned mode = 0;        // permission bits, when known
  bool operator==(const TreeItem&) const = default;
};
void PrintTo(const TreeItem& item, std::ostream* out);
using Tree = std::map<std::string, TreeItem>;  // by path relative to the top

// The tree under `folder` (not following links), with sizes, link targets and modes.
Tree treeOf(const std::string& folder);

// What 7-Zip lists in each file system of the image, file-system metadata left out:
// one tree per volume, in partition order; kinds and file sizes (and link targets
// where 7-Zip tells them).
std::vector<Tree> sevenZipVolumeTrees(const std::string& image);

// Makes an ISO 9660 image with Rock Ridge (modes and links kept) at `image`, named
// `volumeName`, holding each folder or file `source` at the image path `at`
// ({at, source} pairs).  True on success.
bool makeIsoImage(const std::string& image, const std::string& volumeName,
                  const std::vector<std::pair<std::string, std::string>>& contents);

// Runs the stand-in as the tool does ("echo YES | hdiutil ARGS..." through bash),
// with the stand-in's mount points under `base`.
ProgramRun runStandIn(const std::vector<std::string>& arguments, const std::string& base);

// One system entity of an attach property list.
struct AttachedEntity {
  std::string contentHint;
  std::string devEntry;
  std::optional<std::string> mountPoint;
  std::optional<bool> potentiallyMountable;
  std::optional<std::string> volumeKind;
};
// The "system-entities" of an attach property list; nothing when the text is not
// such a list.
std::optional<std::vector<AttachedEntity>> parseAttachPropertyList(const std::string& xml);

// An image attached by the stand-in; detaches whatever is still attached when it
// goes, so that a failed test leaves no mount behind.
class AttachedImage {
public:
  AttachedImage(const std::string& image, const std::string& base);
  ~AttachedImage();
  AttachedImage(const AttachedImage&) = delete;
  AttachedImage& operator=(const AttachedImage&) = delete;

  const ProgramRun& run() const { return run_; }
  const std::vector<AttachedEntity>& entities() const { return entities_; }
  std::vector<std::string> mountPoints() const;
  // Detaches one mount point, which is then no longer cleaned up on destruction.
  ProgramRun detach(const std::string& mountPoint);

private:
  std::string base_;
  ProgramRun run_;
  std::vector<AttachedEntity> entities_;
  std::vector<std::string> attached_;
};

}  // namespace testing_support
