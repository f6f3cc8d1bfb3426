// Linux only: the affinity mask.
#include <sched.h>

#include <thread>

#include "platform/scheduling.h"

namespace installer {

size_t usableProcessors() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0) {
    return static_cast<size_t>(CPU_COUNT(&allowed));
  }
  // More processors than the set can name: the count the system gives.
  unsigned online = std::thread::hardware_concurrency();
  return online > 0 ? online : 1;
}

void lowerIoPriority() {}

}  // namespace installer
