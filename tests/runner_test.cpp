// The command runner against real bash: output, status, ordering, size, signals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>

#include "platform/log.h"
#include "platform/process.h"
#include "platform/system_log_text.h"
#include "runner/runner.h"
#include "support/named_case.h"
#include "support/files.h"
#include "support/log_capture.h"

using installer::commandSucceeded;
using installer::GetOutput;
using testing_support::capturedLog;

using testing_support::caseName;
using testing_support::Named;

namespace {

// Far more than any command here takes, on the busiest machine.
const installer::TimeLimit kAmple{std::chrono::minutes(2), std::chrono::seconds(5)};

std::string bash(const std::string& command, const installer::TimeLimit& limit = kAmple) {
  return GetOutput("/bin/bash", command, limit);
}

struct RunnerCase : Named {
  std::string command;
  std::string expectedStatus;
  std::string expectedOutput;
};

class RunnerOutput : public ::testing::TestWithParam<RunnerCase> {};

TEST_P(RunnerOutput, LogsCommandThenStatusAndOutput) {
  // As callers start the tool: in a locale where a byte can take in the quote after it,
  // and with SIGPIPE ignored, as main does.
  const RunnerCase& c = GetParam();
  const char* callers[] = {"LANG=zh_CN.GB18030", "LC_CTYPE=zh_TW.BIG5", "LC_ALL=ja_JP.SJIS", "LANGUAGE=zh"};
  for (const char* variable : callers) {
    ::putenv(const_cast<char*>(variable));
  }
  auto previous = std::signal(SIGPIPE, SIG_IGN);
  std::string status;
  auto log = capturedLog([&] { status = bash(c.command); });
  std::signal(SIGPIPE, previous);
  for (const char* name : {"LANG", "LC_CTYPE", "LC_ALL", "LANGUAGE"}) {
    ::unsetenv(name);
  }
  EXPECT_EQ(status, c.expectedStatus);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], "Given Command /bin/bash " + c.command);
  EXPECT_EQ(log[1], "terminationStatus : " + c.expectedStatus + " output : " + c.expectedOutput);
}

INSTANTIATE_TEST_SUITE_P(
    RealBash, RunnerOutput,
    ::testing::Values(
        RunnerCase{{"SilentSuccess"}, "true", "0", ""},
        RunnerCase{{"ExitStatus"}, "exit 3", "3", ""},
        RunnerCase{{"StandardErrorOnly"}, "echo oops >&2", "0", "oops\n"},
        RunnerCase{{"InterleavedInWriteOrder"}, "echo 1; echo 2 >&2; echo 3; echo 4 >&2", "0", "1\n2\n3\n4\n"},
        RunnerCase{{"OutputRedirectedAway"}, "echo kept-out >/dev/null; echo shown >&2", "0", "shown\n"},
        RunnerCase{{"QuotingPipesAndRedirections"}, R"(printf '%s|' "a b" 'c"d' | tr '|' ';' 2>&1)", "0",
                   "a b;c\"d;"},
        RunnerCase{{"CommandReachesTheShellAsOneArgument"}, R"(printf '%s\n' "$0" "$#")", "0", "/bin/bash\n0\n"},
        RunnerCase{{"NoTrailingLineBreakAdded"}, "printf 'x'", "0", "x"},
        RunnerCase{{"PercentSignsStayLiteral"}, "echo '%s %d %n'", "0", "%s %d %n\n"},
        RunnerCase{{"InvalidUtf8Replaced"}, R"(printf 'a\xffb\xc3')", "0", "a\xEF\xBF\xBD" "b\xEF\xBF\xBD"},
        RunnerCase{{"KilledBySignalGivesSignalNumber"}, "kill -TERM $$", "15", ""},
        // The tool's environment in the C locale, and the default SIGPIPE back, which
        // ends `yes` once `head` is done.
        RunnerCase{{"CLocaleWhateverTheCallers"}, "env | grep -E '^(LANG|LC_|PATH=)' | sort", "0",
                   "LC_ALL=C\nPATH=" + std::string(std::getenv("PATH")) + "\n"},
        RunnerCase{{"DefaultBrokenPipeSignal"}, "yes | head -c1 >/dev/null; echo ${PIPESTATUS[0]}", "0", "141\n"},
        // Written in one go: it would block forever on a full pipe if the runner waited
        // before reading.
        RunnerCase{{"FarLargerThanThePipeBuffer"}, "head -c 4194304 /dev/zero | tr '\\0' x", "0",
                   std::string(4194304, 'x')}),
    caseName);

TEST(Runner, ProgramThatCannotStartIsAFailedCommand) {
  std::string status;
  auto log = capturedLog([&] { status = GetOutput("/nonexistent/bash", "true", kAmple); });
  EXPECT_FALSE(commandSucceeded(status));
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], "Given Command /nonexistent/bash true");
  EXPECT_NE(log[1].find("No such file or directory"), std::string::npos) << log[1];
}

TEST(Runner, OnlyStandardOutputAndErrorHoldThePipe) {
  // Both ends of a pipe show as the same "pipe:[inode]"; a leaked read or write end
  // would be listed beside 1 and 2 (and a leaked write end would keep end of file away
  // from commands that start background work).
  if (!testing_support::exists("/proc/self/fd")) {
    GTEST_SKIP() << "reads a process's descriptors from /proc, which only Linux has";
  }
  std::string output;
  auto log = capturedLog([&] {
    bash(R"sh(cd /proc/$$/fd && p=$(readlink 1) && for f in *; do [ "$(readlink $f)" = "$p" ] && printf '%s ' $f; done; true)sh");
  });
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1], "terminationStatus : 0 output : 1 2 ");
}

TEST(Log, EachRecordReachesASlowNonBlockingReaderWhole) {
  // Standard error a non-blocking pipe, read slowly: a record far larger than the
  // pipe must neither be cut nor have the next one glued to it.
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ASSERT_EQ(::fcntl(ends[1], F_SETFL, O_NONBLOCK), 0);
  std::string received;
  std::thread reader([&] {
    char buffer[4096];
    for (ssize_t got; (got = ::read(ends[0], buffer, sizeof buffer)) > 0;) {
      received.append(buffer, static_cast<size_t>(got));
      ::usleep(200);
    }
  });
  const std::string large = "Files list in the volume : " + std::string(512 * 1024, 'x');
  int saved = ::dup(STDERR_FILENO);
  ::dup2(ends[1], STDERR_FILENO);
  ::close(ends[1]);
  installer::logMessage(large);
  installer::logMessage("next");
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  reader.join();
  ::close(ends[0]);
  EXPECT_EQ(testing_support::splitLogRecords(received), (std::vector<std::string>{large, "next"}));
}

TEST(Log, TheSystemLogGetsALongMessageCutBetweenCharacters) {
  // The message, how many of its bytes the system's log keeps, and how many it leaves
  // for standard error alone.
  struct Cut {
    std::string message;
    size_t kept;
    size_t leftOut;
  };
  auto times = [](std::string_view text, size_t n) {
    std::string all;
    while (n-- > 0) {
      all += text;
    }
    return all;
  };
  const Cut cuts[] = {
      {"", 0, 0},
      {times("a", 800), 800, 0},
      {times("a", 801), 762, 39},
      {times("\xC3\xA9", 1000), 760, 1240},          // two bytes each: one back
      {times("\xE2\x82\xAC", 400), 759, 441},       // three: two back
      {times("\xF0\x9F\x98\x80", 300), 760, 440},  // four: one back
      {times("\x80", 2000), 758, 1242},              // no UTF-8 at all: three back, no more
  };
  for (const Cut& cut : cuts) {
    std::string expected = cut.message.substr(0, cut.kept);
    if (cut.leftOut > 0) {
      expected += "... [" + std::to_string(cut.leftOut) + " more bytes on standard error]";
    }
    std::string sent = installer::systemLogText(cut.message);
    EXPECT_EQ(sent, expected) << cut.message.size() << " bytes";
    EXPECT_LE(sent.size(), installer::kSystemLogMostBytes);
  }
}

TEST(StandardDescriptors, ClosedOnesAreFilledWithTheNullDevice) {
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(STDIN_FILENO);
    ::close(STDERR_FILENO);
    installer::ensureStandardDescriptorsOpen();
    // The same device as /dev/null: read from the descriptors themselves, which works
    // without /proc.
    struct stat null {}, in {}, err {};
    bool ok = ::stat("/dev/null", &null) == 0 && ::fstat(STDIN_FILENO, &in) == 0 && ::fstat(STDERR_FILENO, &err) == 0;
    ok = ok && in.st_rdev == null.st_rdev && err.st_rdev == null.st_rdev && S_ISCHR(in.st_mode) && S_ISCHR(err.st_mode);
    // An open standard output is left as it was.
    ok = ok && ::fcntl(STDOUT_FILENO, F_GETFD) != -1 && ::open("/dev/null", O_RDONLY) > STDERR_FILENO;
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(StatusJudgement, OnlyAWholeIntegerZeroIsSuccess) {
  for (const char* good : {"0", "-0", "+0", "00"}) {
    EXPECT_TRUE(commandSucceeded(good)) << good;
  }
  for (const char* bad : {"", "1", "-1", " 0", "0 ", "0\n", "0x0", "zero", "+", "-", "+-0", "0.0",
                          "99999999999999999999"}) {
    EXPECT_FALSE(commandSucceeded(bad)) << '"' << bad << '"';
  }
}

}  // namespace
