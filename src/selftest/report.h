#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The self-test's report on standard output: facts about the machine, one line per
// check, the tool's own log records under a group of checks that failed, a summary.
namespace installer::selftest {

enum class Verdict { ok, failed, skipped };

// What one check came to, and in a few words why: what was seen (ok), the system's
// error (FAILED), or the reason nothing was tried (skipped).
struct Outcome {
  Verdict verdict = Verdict::ok;
  std::string detail;
};

inline Outcome passed(std::string detail = {}) { return {Verdict::ok, std::move(detail)}; }
inline Outcome failed(std::string detail) { return {Verdict::failed, std::move(detail)}; }
inline Outcome skipped(std::string reason) { return {Verdict::skipped, std::move(reason)}; }

// One line of the report.
struct CheckLine {
  std::string name;
  Outcome outcome;
};

struct Counts {
  size_t ok = 0;
  size_t failed = 0;
  size_t skipped = 0;
};

// "12.3 ms", "1.52 s".
std::string durationText(std::chrono::steady_clock::duration duration);

class Report {
public:
  // `recordsFile`: where the tool's log records go while a group of checks runs.
  explicit Report(std::string recordsFile) : recordsFile_(std::move(recordsFile)) {}

  // A fact about the machine or the run: "system: macOS 14.5 (23F79)".
  static void fact(std::string_view label, std::string_view text);
  // Free text, as it is (the benchmark's tables).
  static void text(std::string_view text);

  // Runs a group of checks with the tool's log records (standard error) sent to a
  // file, prints the group's lines, and after them the records when one failed.
  void run(const std::function<std::vector<CheckLine>()>& group);

  // Prints one check line and counts it.
  void line(const CheckLine& line);

  const Counts& counts() const { return counts_; }

  // The summary line for `counts`.
  static std::string summary(const Counts& counts);

private:
  std::string recordsFile_;
  Counts counts_;
};

// Standard error sent to a file from construction to destruction, so that the tool's
// log records (and whatever else writes there) do not mix with the report.
class StandardErrorCapture {
public:
  explicit StandardErrorCapture(const std::string& file);
  ~StandardErrorCapture();
  StandardErrorCapture(const StandardErrorCapture&) = delete;
  StandardErrorCapture& operator=(const StandardErrorCapture&) = delete;

  // Everything written so far.
  std::string text() const;

private:
  std::string path_;
  int file_ = -1;
  int saved_ = -1;
};

}  // namespace installer::selftest
