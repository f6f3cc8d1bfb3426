#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <thread>
#include <utility>

#include "platform/error.h"
#include "platform/fd.h"
#include "platform/io.h"

extern char** environ;

namespace installer {

namespace {

// A close-on-exec duplicate of fd numbered 3 or above, so that it can never be one of
// the child's standard descriptors by accident (when the tool was started with
// standard output or error closed).
UniqueFd aboveStandardFds(UniqueFd fd) {
  if (fd.get() > STDERR_FILENO) {
    return fd;
  }
  return UniqueFd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
}

bool closeOnExec(const UniqueFd& fd) { return ::fcntl(fd.get(), F_SETFD, FD_CLOEXEC) == 0; }

class SpawnAttributes {
public:
  SpawnAttributes() { posix_spawnattr_init(&attributes_); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attributes_; }

private:
  posix_spawnattr_t attributes_;
};

class SpawnActions {
public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

private:
  posix_spawn_file_actions_t actions_;
};

}  // namespace

namespace {

// The NULL-ended array of C strings exec takes, pointing into `strings`.
std::vector<char*> cStrings(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (const auto& text : strings) {
    pointers.push_back(const_cast<char*>(text.c_str()));
  }
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

std::vector<std::string> currentEnvironment() {
  std::vector<std::string> variables;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    variables.emplace_back(*variable);
  }
  return variables;
}

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The longest a wait goes without looking whether the child has exited.  Waits start
// at a millisecond and double up to this, so that an ordinary command is done with at
// once and a long silent one costs a few wake-ups a second.
constexpr milliseconds kLongestLook{100};

// A child in a process group of its own (its number is the child's), the read end of
// its merged pipe until end of file, and what has arrived on it.
struct Watched {
  pid_t pid = -1;
  UniqueFd pipe;
  std::string output;
  bool exited = false;
};

// Whether the child has exited, leaving it unreaped: while it is a zombie its number
// cannot be given to another process, so its group can still be signalled safely.
bool hasExited(pid_t pid) {
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    if (errno != EINTR) {
      return true;  // not ours to wait for any more: nothing left to watch
    }
  }
  return info.si_pid == pid;
}

// Takes in what the pipe holds now; at end of file (or a failing read, which only
// shortens the output) the pipe is closed.
void readAvailable(Watched& child) {
  char buffer[65536];
  ssize_t got = ::read(child.pipe.get(), buffer, sizeof buffer);
  if (got > 0) {
    child.output.append(buffer, static_cast<size_t>(got));
  } else if (got == 0 || errno != EINTR) {
    child.pipe.reset();
  }
}

enum class Until { Exit, ExitAndEndOfOutput };

// Reads what arrives and watches for the child's exit until `condition` holds (true)
// or `deadline` passes (false).
bool follow(Watched& child, Clock::time_point deadline, Until condition) {
  milliseconds look{1};
  for (;;) {
    child.exited = child.exited || hasExited(child.pid);
    if (child.exited && (condition == Until::Exit || !child.pipe)) {
      return true;
    }
    const Clock::time_point now = Clock::now();
    if (now >= deadline) {
      return false;
    }
    const milliseconds wait =
        std::min(look, std::chrono::ceil<milliseconds>(deadline - now));
    look = std::min(look * 2, kLongestLook);
    if (!child.pipe) {
      std::this_thread::sleep_for(wait);
      continue;
    }
    pollfd readable{child.pipe.get(), POLLIN, 0};
    int ready = ::poll(&readable, 1, static_cast<int>(wait.count()));
    if (ready > 0) {
      readAvailable(child);
    } else if (ready < 0 && errno != EINTR) {
      child.pipe.reset();
    }
    if (!child.pipe) {
      look = milliseconds{1};  // the exit most often follows end of file at once
    }
  }
}

// Stops the child's whole group: SIGTERM (with SIGCONT, so that a stopped process
// sees it), then, after `grace` or as soon as the child has exited and the pipe is
// closed, SIGKILL for whatever is left; the child is still unreaped at that moment,
// so the group's number is still its own.  Then reads what is left until end of file
// or `grace` passes.
void stopGroup(Watched& child, milliseconds grace) {
  ::kill(-child.pid, SIGTERM);
  ::kill(-child.pid, SIGCONT);
  (void)follow(child, Clock::now() + grace, Until::ExitAndEndOfOutput);
  ::kill(-child.pid, SIGKILL);
  (void)follow(child, Clock::now() + grace, Until::ExitAndEndOfOutput);
}

// Exited with N, or killed by signal S.
void decodeWaitStatus(int waitStatus, ChildOutcome& outcome) {
  if (WIFSIGNALED(waitStatus)) {
    outcome.ending = Ending::KilledBySignal;
    outcome.status = WTERMSIG(waitStatus);
  } else {
    outcome.ending = Ending::Exited;
    outcome.status = WEXITSTATUS(waitStatus);
  }
}

}  // namespace

Result<ChildOutcome> runMerged(const std::string& program, const std::vector<std::string>& arguments,
                               const std::vector<std::string>& environment, const TimeLimit& limit) {
  // pipe, then close-on-exec (macOS has no pipe2): the tool starts children from one
  // thread only, at moments when no other thread of it runs (the copy's workers are
  // joined before the copy returns), so no child can be started between the two
  // calls and inherit these ends.
  int ends[2];
  if (::pipe(ends) != 0) {
    return systemError(errno, "creating a pipe for", program);
  }
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);
  if (!closeOnExec(readEnd) || !closeOnExec(writeEnd)) {
    return systemError(errno, "creating a pipe for", program);
  }
  readEnd = aboveStandardFds(std::move(readEnd));
  writeEnd = aboveStandardFds(std::move(writeEnd));
  if (!readEnd || !writeEnd) {
    return systemError(errno, "creating a pipe for", program);
  }

  // dup2 onto 1 and 2 clears close-on-exec there; every other copy of the pipe
  // closes in the child at exec.
  SpawnActions actions;
  posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDERR_FILENO);

  std::vector<char*> argv = cStrings(arguments);
  std::vector<char*> envp = cStrings(environment);

  // An ignored signal stays ignored across exec; the tool ignores SIGPIPE, its
  // children must not (a pipeline in the command line relies on it).  A group of its
  // own lets the child be stopped together with everything it starts.
  SpawnAttributes attributes;
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(attributes.get(), &defaults);
  posix_spawnattr_setpgroup(attributes.get(), 0);
  posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

  pid_t pid = -1;
  int spawnError = posix_spawn(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(), envp.data());
  // Close our write end at once, so end of file arrives when the child (and all it
  // started) have closed theirs.
  writeEnd.reset();
  if (spawnError != 0) {
    return systemError(spawnError, "starting", program);
  }

  // Read while waiting: the child can never block on a full pipe.
  Watched child{pid, std::move(readEnd), {}, false};
  const bool inTime = follow(child, Clock::now() + limit.limit, Until::Exit);
  if (!inTime) {
    stopGroup(child, limit.grace);
  } else if (!follow(child, Clock::now() + limit.grace, Until::ExitAndEndOfOutput)) {
    // The child has exited, and something it started holds the pipe still.
    stopGroup(child, limit.grace);
  }

  ChildOutcome outcome;
  outcome.output = std::move(child.output);
  outcome.status = -1;
  if (child.exited) {
    int waitStatus = 0;
    pid_t reaped;
    while ((reaped = ::waitpid(pid, &waitStatus, 0)) < 0 && errno == EINTR) {
    }
    if (reaped == pid) {
      decodeWaitStatus(waitStatus, outcome);
    } else if (inTime) {
      return systemError(errno, "waiting for", program);
    }
  }
  if (!inTime) {
    outcome.ending = Ending::StoppedAfterTimeLimit;
  }
  return outcome;
}

void ignoreBrokenPipeSignals() { std::signal(SIGPIPE, SIG_IGN); }

void ensureStandardDescriptorsOpen() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // open takes the lowest free number, which is this one.
      ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
  }
}

}  // namespace installer
