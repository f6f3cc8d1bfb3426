#include "selftest/supervisor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <sstream>
#include <thread>

#include "platform/io.h"

namespace installer::selftest {

namespace {

// The child's process group: the child, and whatever it started.
volatile sig_atomic_t childGroup = 0;

void passOn(int signal) {
  if (childGroup > 0) {
    ::kill(-static_cast<pid_t>(childGroup), signal);
  }
}

constexpr int kPassedOn[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr auto kPatienceWithLeftovers = std::chrono::seconds(60);

}  // namespace

ChecksEnd runSupervised(const std::function<Counts()>& checks) {
  int ends[2];
  if (::pipe(ends) != 0) {
    return {std::nullopt, std::string("could not start: ") + std::strerror(errno)};
  }
  ::fcntl(ends[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(ends[1], F_SETFD, FD_CLOEXEC);

  // From here to the end of the process, these signals are passed on to the checks
  // rather than end this process before its clean-up.  A signal ignored by whoever
  // started us (SIGINT in a background job) stays ignored, here and in the child.
  struct sigaction passing {};
  passing.sa_handler = passOn;
  sigemptyset(&passing.sa_mask);
  struct sigaction previous[std::size(kPassedOn)];
  for (size_t i = 0; i < std::size(kPassedOn); ++i) {
    ::sigaction(kPassedOn[i], nullptr, &previous[i]);
    if (previous[i].sa_handler != SIG_IGN) {
      ::sigaction(kPassedOn[i], &passing, nullptr);
    }
  }

  std::fflush(nullptr);
  pid_t child = ::fork();
  if (child < 0) {
    int error = errno;
    ::close(ends[0]);
    ::close(ends[1]);
    return {std::nullopt, std::string("could not start: ") + std::strerror(error)};
  }
  if (child == 0) {
    for (size_t i = 0; i < std::size(kPassedOn); ++i) {
      ::sigaction(kPassedOn[i], &previous[i], nullptr);
    }
    // A group of its own, which the programs it runs join: a signal passed on reaches
    // them too, and the clean-up waits until the last of them is gone.
    ::setpgid(0, 0);
    ::close(ends[0]);
    Counts counts = checks();
    std::fflush(nullptr);
    std::string text = std::to_string(counts.ok) + " " + std::to_string(counts.failed) + " " +
                       std::to_string(counts.skipped) + "\n";
    (void)writeAll(ends[1], text, "the supervisor's pipe");
    ::_exit(0);
  }

  ::close(ends[1]);
  ::setpgid(child, child);  // as the child does, whichever runs first
  childGroup = child;
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  // A program the checks started may outlive them (an attach that goes on after a
  // signal), and must be done before its volume can be detached.
  auto deadline = std::chrono::steady_clock::now() + kPatienceWithLeftovers;
  while (::kill(-child, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  childGroup = 0;

  std::string text;
  (void)readToEnd(ends[0], text, "the supervisor's pipe", 256);
  ::close(ends[0]);
  ChecksEnd end;
  Counts counts;
  std::istringstream numbers(text);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && numbers >> counts.ok >> counts.failed >> counts.skipped) {
    end.counts = counts;
  } else if (WIFSIGNALED(status)) {
    end.how = "killed by signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
  } else {
    end.how = "ended with status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  }
  return end;
}

}  // namespace installer::selftest
