#include <signal.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/tracing.h"

namespace testing_support {

void stopForTracer() {
  if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
    ::_exit(125);
  }
  ::raise(SIGSTOP);
}

bool runUntilItsFirstFolderExists(pid_t child) {
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFSTOPPED(status) ||
      ::ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL) != 0) {
    return false;
  }
  bool inMkdir = false;
  for (int signal = 0;;) {
    if (::ptrace(PTRACE_SYSCALL, child, nullptr, signal) != 0 || ::waitpid(child, &status, 0) != child ||
        !WIFSTOPPED(status)) {
      return false;
    }
    signal = 0;
    if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
      signal = WSTOPSIG(status) == SIGSTOP ? 0 : WSTOPSIG(status);
      continue;
    }
    __ptrace_syscall_info info{};
    if (::ptrace(PTRACE_GET_SYSCALL_INFO, child, sizeof info, &info) <= 0) {
      return false;
    }
    if (info.op == PTRACE_SYSCALL_INFO_ENTRY) {
      inMkdir = info.entry.nr == SYS_mkdirat;
#ifdef SYS_mkdir
      inMkdir = inMkdir || info.entry.nr == SYS_mkdir;
#endif
    } else if (info.op == PTRACE_SYSCALL_INFO_EXIT && inMkdir) {
      return true;
    }
  }
}

bool releaseTracedChild(pid_t child) { return ::ptrace(PTRACE_DETACH, child, nullptr, nullptr) == 0; }

}  // namespace testing_support
