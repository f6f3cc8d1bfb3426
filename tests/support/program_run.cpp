#include "support/program_run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <map>
#include <stdexcept>

#include "support/files.h"

extern char** environ;

namespace testing_support {

ProgramRun runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
                      const std::string& folder) {
  std::map<std::string, std::string> environment;  // later entries of a name win
  auto add = [&](const std::string& item) { environment[item.substr(0, item.find('='))] = item; };
  for (char** entry = environ; *entry != nullptr; ++entry) {
    add(*entry);
  }
  for (const auto& item : extraEnvironment) {
    add(item);
  }
  std::vector<char*> envp;
  for (auto& [name, item] : environment) {
    envp.push_back(item.data());
  }
  envp.push_back(nullptr);
  std::vector<std::string> argStrings = argv;
  std::vector<char*> args;
  for (auto& item : argStrings) {
    args.push_back(item.data());
  }
  args.push_back(nullptr);

  // Standard output and error go to files: no pipe to drain while waiting.
  TempDir capture;
  std::string outPath = capture / "stdout";
  std::string errPath = capture / "stderr";
  pid_t pid = ::fork();
  if (pid < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    int in = ::open("/dev/null", O_RDONLY);
    int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) {
      ::_exit(120);
    }
    if (!folder.empty() && ::chdir(folder.c_str()) != 0) {
      ::_exit(121);
    }
    // Programs start with the default broken-pipe signal, whatever the test runner set.
    ::signal(SIGPIPE, SIG_DFL);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(122);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ProgramRun run;
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.standardOutput = readFile(outPath);
  run.standardError = readFile(errPath);
  return run;
}

}  // namespace testing_support
