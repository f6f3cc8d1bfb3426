// macOS only: the I/O policy of the process.
#include <sys/resource.h>

#include <thread>

#include "platform/scheduling.h"

namespace installer {

size_t usableProcessors() {
  // macOS has no affinity masks: every active processor can take a thread.
  unsigned active = std::thread::hardware_concurrency();
  return active > 0 ? active : 1;
}

void lowerIoPriority() {
  // The utility class: throttled while other programs use the disk, at full speed
  // when it is idle.  An install is what an administrator pushed to the machine, not
  // what its user is waiting for.
  (void)::setiopolicy_np(IOPOL_TYPE_DISK, IOPOL_SCOPE_PROCESS, IOPOL_UTILITY);
}

}  // namespace installer
