#include "support/tool_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>

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

std::vector<std::string> splitLogRecords(const std::string& log) {
  static const std::regex prefix(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} [^\n\[ ]+\[\d+:\d+\] )");
  std::vector<std::string> messages;
  size_t messageStart = std::string::npos;
  for (size_t lineStart = 0; lineStart < log.size();) {
    // A record starts with a line that starts with the prefix.
    std::smatch match;
    if (std::regex_search(log.begin() + lineStart, log.end(), match, prefix, std::regex_constants::match_continuous)) {
      if (messageStart != std::string::npos) {
        messages.push_back(log.substr(messageStart, lineStart - 1 - messageStart));
      }
      messageStart = lineStart + match.length(0);
    }
    size_t lineEnd = log.find('\n', lineStart);
    lineStart = lineEnd == std::string::npos ? log.size() : lineEnd + 1;
  }
  if (messageStart != std::string::npos) {
    std::string last = log.substr(messageStart);
    if (last.ends_with('\n')) {
      last.pop_back();
    }
    messages.push_back(last);
  }
  return messages;
}

std::vector<std::string> capturedLog(const std::function<void()>& body) {
  char pattern[] = "/tmp/ii-log.XXXXXX";
  int fd = ::mkstemp(pattern);
  if (fd < 0) {
    throw std::runtime_error("mkstemp failed");
  }
  // Standard error goes back even when `body` throws.
  struct Restore {
    int saved = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    ~Restore() {
      ::dup2(saved, STDERR_FILENO);
      ::close(saved);
    }
  };
  {
    Restore restore;
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
    body();
  }
  std::string text = readFile(pattern);
  ::unlink(pattern);
  return splitLogRecords(text);
}

Workspace::Workspace(Hdiutil hdiutil) {
  std::filesystem::create_directories(work() + "/bin/tool");
  std::filesystem::create_directories(fake());
  std::filesystem::create_directories(applications());
  std::filesystem::create_directories(dir_ / "fakebin");
  std::filesystem::copy_file(IMAGE_INSTALLER_BINARY, tool());
  if (hdiutil == Hdiutil::Scripted) {
    std::filesystem::copy_file(std::string(TEST_SOURCE_DIR) + "/support/fake-hdiutil/hdiutil", dir_ / "fakebin/hdiutil");
  } else {
#ifdef HDIUTIL_STANDIN_BINARY
    std::filesystem::create_symlink(HDIUTIL_STANDIN_BINARY, dir_ / "fakebin/hdiutil");
#else
    throw std::runtime_error("the hdiutil stand-in is not built on this platform");
#endif
  }
}

void Workspace::scriptVerb(const std::string& verb, const std::string& standardOutput, int status,
                           const std::string& standardError) {
  writeFile(fake() + "/" + verb + ".stdout", standardOutput);
  writeFile(fake() + "/" + verb + ".stderr", standardError);
  writeFile(fake() + "/" + verb + ".status", std::to_string(status));
}

void Workspace::scriptVerbAction(const std::string& verb, const std::string& bashScript) {
  writeFile(fake() + "/" + verb + ".run", "#!/usr/bin/env bash\n" + bashScript, 0755);
}

std::vector<std::vector<std::string>> Workspace::hdiutilCalls() const {
  std::vector<std::vector<std::string>> calls;
  for (size_t n = 0;; ++n) {
    std::string path = fake() + "/calls/" + std::to_string(n) + ".args";
    if (!exists(path)) {
      return calls;
    }
    std::istringstream bytes(readFile(path));  // each argument ends in a NUL
    std::vector<std::string> arguments;
    for (std::string argument; std::getline(bytes, argument, '\0');) {
      arguments.push_back(argument);
    }
    calls.push_back(arguments);
  }
}

std::string Workspace::hdiutilStdin(size_t index) const {
  return readFile(fake() + "/calls/" + std::to_string(index) + ".stdin");
}

ProgramRun Workspace::run(const std::vector<std::string>& arguments) const { return runWrapped({}, arguments); }

ProgramRun Workspace::runWithLogReaderGone(const std::vector<std::string>& arguments) const {
  // A reader opens the FIFO and exits at once; once it is gone (wait), descriptor 4 is
  // a pipe nobody reads, and every record the tool writes there meets a broken pipe.
  std::string fifo = dir_ / "log.fifo";
  return runWrapped({"/bin/bash", "-c",
                     "mkfifo \"$0\" || exit 1; { exec 3<\"$0\"; } & exec 4>\"$0\"; wait; exec \"$@\" 2>&4 4>&-", fifo},
                    arguments);
}

ProgramRun Workspace::runWrapped(const std::vector<std::string>& wrapper,
                                 const std::vector<std::string>& arguments) const {
  std::vector<std::string> argv = wrapper;
  argv.insert(argv.end(), {std::string(PROJECT_SOURCE_DIR) + "/scripts/with-private-applications",
                           applications(), tool()});
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const char* path = std::getenv("PATH");
  return runProgram(argv, {"PATH=" + dir_ / "fakebin" + ":" + (path != nullptr ? path : "/usr/bin:/bin"),
                           "FAKE_HDIUTIL_DIR=" + fake(), "HDIUTIL_STANDIN_DIR=" + standInBase()},
                    work());
}

HdiutilHere::HdiutilHere(const Workspace& workspace) : workspace_(workspace) {
  const char* path = std::getenv("PATH");
  savedPath_ = path != nullptr ? path : "/usr/bin:/bin";
  savedFolder_ = std::filesystem::current_path();
  ::setenv("PATH", (workspace.root() + "/fakebin:" + savedPath_).c_str(), 1);
  ::setenv("FAKE_HDIUTIL_DIR", workspace.fake().c_str(), 1);
  if (::chdir(folder_.path().c_str()) != 0) {
    throw std::runtime_error("chdir failed");
  }
}

HdiutilHere::~HdiutilHere() {
  ::setenv("PATH", savedPath_.c_str(), 1);
  ::unsetenv("FAKE_HDIUTIL_DIR");
  if (::chdir(savedFolder_.c_str()) != 0) {
    std::abort();
  }
}

void HdiutilHere::forgetCalls() { std::filesystem::remove_all(workspace_.fake() + "/calls"); }

std::vector<std::string> HdiutilHere::strayFiles() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder_.path())) {
    names.push_back(entry.path().filename());
  }
  return names;
}

bool logHas(const std::vector<std::string>& log, const std::string& message) {
  return std::find(log.begin(), log.end(), message) != log.end();
}

bool privateNamespacesAvailable() {
  static const bool available = [] {
    if (::geteuid() != 0) {
      return false;
    }
    ProgramRun probe = runProgram({"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/true"});
    return probe.exitStatus == 0;
  }();
  return available;
}

}  // namespace testing_support
