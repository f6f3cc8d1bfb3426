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

namespace {

// The older calls exist on some architectures only: where one is missing, a newer
// form stands in for it.
#ifndef SYS_mkdir
#define SYS_mkdir SYS_mkdirat
#endif
#ifndef SYS_rename
#define SYS_rename SYS_renameat2
#endif
#ifndef SYS_renameat
#define SYS_renameat SYS_renameat2
#endif
#ifndef SYS_fork
#define SYS_fork SYS_clone
#define SYS_vfork SYS_clone
#endif
#ifndef SYS_clone3
#define SYS_clone3 SYS_clone
#endif

bool isFolderCreation(long call) { return call == SYS_mkdir || call == SYS_mkdirat; }
bool isRename(long call) { return call == SYS_rename || call == SYS_renameat || call == SYS_renameat2; }
bool isProcessCreation(long call) {
  return call == SYS_fork || call == SYS_vfork || call == SYS_clone || call == SYS_clone3;
}

// Lets the child that called stopForTracer() run until the first system call that
// `wanted` picks, and keeps it stopped at that call's entry, or once it has returned
// when `afterIt`.
bool runUntilCall(pid_t child, bool (*wanted)(long), bool afterIt) {
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFSTOPPED(status) ||
      ::ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL) != 0) {
    return false;
  }
  bool inWanted = false;
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
      inWanted = wanted(static_cast<long>(info.entry.nr));
      if (inWanted && !afterIt) {
        return true;
      }
    } else if (info.op == PTRACE_SYSCALL_INFO_EXIT && inWanted) {
      return true;
    }
  }
}

}  // namespace

bool runUntil(pid_t child, Moment moment) {
  switch (moment) {
    case Moment::firstFolderCreated:
      return runUntilCall(child, isFolderCreation, true);
    case Moment::firstRenameDone:
      return runUntilCall(child, isRename, true);
    case Moment::aboutToStartAProcess:
      return runUntilCall(child, isProcessCreation, false);
  }
  return false;
}

bool releaseTracedChild(pid_t child) { return ::ptrace(PTRACE_DETACH, child, nullptr, nullptr) == 0; }

}  // namespace testing_support
