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
  mode_t mask = 0;
  mode_t filePermissions = 0;
  mode_t folderPermissions = 0;

  static CopyRules forThisProcess();

  // The mode to create the copy of a file with: writable for the owner, so that the
  // attributes can still be written.  When that and the mask leave the wanted bits
  // as they are, no chmod follows.
  mode_t creationMode(const struct stat& status) const {
    return ((status.st_mode & filePermissions) | S_IRUSR | S_IWUSR) & ~mask;
  }
};

// The work on one item once the walk has placed it: filling a created file, and
// finishing a filled folder.  It takes everything it needs as arguments and keeps
// only reusable buffers, so each thread that copies items has its own.
class ItemSteps {
public:
  // Each file filled is told to `writingBack`, when given.
  explicit ItemSteps(const CopyRules& rules, WritingBackMeanwhile* writingBack = nullptr)
      : rules_(rules), writingBack_(writingBack) {}

  // Copies the contents, attributes, permissions and times of the file open at `from`
  // into its new copy `to`, which has the mode `createdMode`, hands its data on for
  // durability and closes it.
  Result<void> fillFile(int from, UniqueFd to, const struct stat& status, mode_t createdMode, const CopyEnds& ends);

  // Gives the filled copy `to` of the folder open at `from` its attributes,
  // permissions and times.
  Result<void> finishFolder(int from, int to, const struct stat& status, const CopyEnds& ends);

private:
  const CopyRules& rules_;
  WritingBackMeanwhile* writingBack_;
  ItemContentCopier content_;
};

}  // namespace installer
