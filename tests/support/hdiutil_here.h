#pragma once

#include <string>
#include <vector>

#include "support/tool_run.h"

namespace testing_support {

// For in-process tests of code that runs hdiutil through bash: while it lives, this
// process finds a Workspace's scripted hdiutil first on PATH, and its current folder
// is an empty folder of its own, where a command injected into a command line would
// most likely leave files (see strayFiles).  Restores PATH and the folder on
// destruction.
class HdiutilHere {
public:
  explicit HdiutilHere(const Workspace& workspace);
  ~HdiutilHere();
  HdiutilHere(const HdiutilHere&) = delete;
  HdiutilHere& operator=(const HdiutilHere&) = delete;

  // Forgets the calls recorded so far.
  void forgetCalls();
  // Names of whatever appeared in the current folder.
  std::vector<std::string> strayFiles() const;

private:
  const Workspace& workspace_;
  TempDir folder_;
  std::string savedPath_;
  std::string savedFolder_;
};

}  // namespace testing_support
