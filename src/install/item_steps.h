#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include "platform/durability.h"
#include "platform/fd.h"
#include "platform/file_copy.h"
#include "platform/result.h"

namespace installer {

// The permissions every item of one copy gets.  Read once, before any thread of the
// copy starts: reading the file creation mask means setting it for the whole process,
// so no thread may be creating files meanwhile.
struct CopyRules {
  // Who may read the copy: whom the image's modes let, or everyone (read on every
  // item, search on folders and on files their owner may execute).
  enum class Readers { asInImage, everyone };

  mode_t mask = 0;
  mode_t filePermissions = 0;
  mode_t folderPermissions = 0;
  Readers readers = Readers::asInImage;

  static CopyRules forThisProcess();

  // The final permission bits of the copy of a file or folder with `status`.
  mode_t fileMode(const struct stat& status) const {
    const mode_t mode = status.st_mode & filePermissions;
    if (readers == Readers::asInImage) {
      return mode;
    }
    return mode | S_IRGRP | S_IROTH | ((mode & S_IXUSR) != 0 ? S_IXGRP | S_IXOTH : 0);
  }
  mode_t folderMode(const struct stat& status) const {
    const mode_t mode = status.st_mode & folderPermissions;
    return readers == Readers::asInImage ? mode : mode | S_IRGRP | S_IROTH | S_IXGRP | S_IXOTH;
  }

  // The mode to create the copy of a file with: writable for the owner, so that the
  // attributes can still be written.  When that and the mask leave the final bits as
  // they are, no chmod follows.
  mode_t creationMode(const struct stat& status) const { return (fileMode(status) | S_IRUSR | S_IWUSR) & ~mask; }
};

// The work on one item once the walk has placed it: filling a created file, and
// finishing a filled folder.  It takes everything it needs as arguments and keeps
// only reusable buffers, so each thread that copies items has its own.
class ItemSteps {
public:
  // Each file filled is told to `writingBack`, when given.
  explicit ItemSteps(const CopyRules& rules, WritingBackMeanwhile* writingBack = nullptr)
      : rules_(rules), writingBack_(writingBack) {}

  // Copies the contents of the file open at `from` into its new copy `to`, which has
  // the mode `createdMode`, from `done` bytes on (see ItemContentCopier::copyData:
  // `portion` says how much, `done` how far it got).  Once they are all there, also
  // its attributes, permissions and times, hands its data on for durability and
  // closes `to`.
  using Portion = ItemContentCopier::Portion;
  using Copied = ItemContentCopier::Copied;
  Result<Copied> fillFile(int from, UniqueFd& to, const struct stat& status, mode_t createdMode, off_t& done,
                          Portion portion, const CopyEnds& ends);

  // Gives the filled copy `to` of the folder open at `from` its attributes,
  // permissions and times.
  Result<void> finishFolder(int from, int to, const struct stat& status, const CopyEnds& ends);

private:
  const CopyRules& rules_;
  WritingBackMeanwhile* writingBack_;
  ItemContentCopier content_;
};

}  // namespace installer
