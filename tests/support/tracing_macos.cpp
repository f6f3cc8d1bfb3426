// macOS: nothing here watches another process's system calls.
#include <unistd.h>

#include "support/tracing.h"

namespace testing_support {

void stopForTracer() { ::_exit(125); }

bool runUntilItsFirstFolderExists(pid_t) { return false; }

bool runUntilItStartsAProcess(pid_t) { return false; }

bool releaseTracedChild(pid_t) { return false; }

}  // namespace testing_support
