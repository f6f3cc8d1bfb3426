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

bool isFolderCreation(long call) {
#ifdef SYS_mkdir
  if (call == SYS_mkdir) {
    return true;
  }
#endif
  return call == SYS_mkdirat;
}

bool isRename(long call) {
#ifdef SYS_rename
  if (call == SYS_rename) {
    return true;
  }
#endif
#ifdef SYS_renameat
  if (call == SYS_renameat) {
    return true;
  }
#endif
  return call == SYS_renameat2;
}

bool isProcessCreation(long call) {
#ifdef SYS_fork
  if (call == SYS_fork || call == SYS_vfork) {
    return true;
  }
#endif
#ifdef SYS_clone3
  if (call == SYS_clone3) {
    return true;
  }
#endif
  return call == SYS_clone;
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
