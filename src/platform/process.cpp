#include "platform/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
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

Result<ChildOutcome> runMerged(const std::string& program, const std::vector<std::string>& arguments,
                               const std::vector<std::string>& environment) {
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
  // children must not (a pipeline in the command line relies on it).
  SpawnAttributes attributes;
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(attributes.get(), &defaults);
  posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  int spawnError = posix_spawn(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(), envp.data());
  // Close our write end at once, so end of file arrives when the child (and all it
  // started) have closed theirs.
  writeEnd.reset();
  if (spawnError != 0) {
    return systemError(spawnError, "starting", program);
  }

  // Reading to end of file before reaping: the child can never block on a full pipe.
  // A failing read only shortens the output; the status still tells what happened.
  ChildOutcome outcome;
  (void)readToEnd(readEnd.get(), outcome.output, program);
  readEnd.reset();

  int waitStatus = 0;
  while (::waitpid(pid, &waitStatus, 0) < 0) {
    if (errno != EINTR) {
      return systemError(errno, "waiting for", program);
    }
  }
  if (WIFSIGNALED(waitStatus)) {
    outcome.status = WTERMSIG(waitStatus);
    outcome.killedBySignal = true;
  } else {
    outcome.status = WEXITSTATUS(waitStatus);
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
