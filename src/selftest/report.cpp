#include "selftest/report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "platform/io.h"

namespace installer::selftest {

namespace {

void print(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

std::string_view verdictWord(Verdict verdict) {
  switch (verdict) {
    case Verdict::ok: return "ok";
    case Verdict::failed: return "FAILED";
    case Verdict::skipped: return "skipped";
  }
  return "?";
}

}  // namespace

std::string durationText(std::chrono::steady_clock::duration duration) {
  double seconds = std::chrono::duration<double>(duration).count();
  char text[32];
  if (seconds < 1) {
    std::snprintf(text, sizeof text, "%.1f ms", seconds * 1000);
  } else {
    std::snprintf(text, sizeof text, "%.2f s", seconds);
  }
  return text;
}

void Report::fact(std::string_view label, std::string_view text) {
  std::string line(label);
  line += label.empty() ? "" : ":";
  line.resize(std::max<size_t>(line.size() + 1, 17), ' ');
  line += text;
  line += '\n';
  print(line);
}

void Report::text(std::string_view text) { print(text); }

void Report::line(const CheckLine& line) {
  std::string shown = "  " + line.name + " ";
  shown.resize(std::max<size_t>(shown.size(), 50), '.');
  shown += ' ';
  shown += verdictWord(line.outcome.verdict);
  if (!line.outcome.detail.empty()) {
    shown += line.outcome.verdict == Verdict::ok ? " (" + line.outcome.detail + ")" : ": " + line.outcome.detail;
  }
  shown += '\n';
  print(shown);
  switch (line.outcome.verdict) {
    case Verdict::ok: ++counts_.ok; break;
    case Verdict::failed: ++counts_.failed; break;
    case Verdict::skipped: ++counts_.skipped; break;
  }
}

void Report::run(const std::function<std::vector<CheckLine>()>& group) {
  std::vector<CheckLine> lines;
  std::string records;
  {
    StandardErrorCapture capture(recordsFile_);
    lines = group();
    records = capture.text();
  }
  bool anyFailed = false;
  for (const CheckLine& each : lines) {
    line(each);
    anyFailed = anyFailed || each.outcome.verdict == Verdict::failed;
  }
  if (anyFailed && !records.empty()) {
    std::string shown = "    what the tool logged meanwhile:\n";
    size_t start = 0;
    while (start < records.size()) {
      size_t end = records.find('\n', start);
      end = end == std::string::npos ? records.size() : end;
      shown += "    | " + records.substr(start, end - start) + "\n";
      start = end + 1;
    }
    print(shown);
  }
}

std::string Report::summary(const Counts& counts) {
  return "summary: " + std::to_string(counts.ok) + " ok, " + std::to_string(counts.failed) + " FAILED, " +
         std::to_string(counts.skipped) + " skipped";
}

StandardErrorCapture::StandardErrorCapture(const std::string& file) : path_(file) {
  std::fflush(stderr);
  file_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  saved_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (file_ < 0 || saved_ < 0 || ::dup2(file_, STDERR_FILENO) < 0) {
    // Without a file the records go where they always went.
    if (saved_ >= 0) {
      ::close(saved_);
      saved_ = -1;
    }
  }
}

StandardErrorCapture::~StandardErrorCapture() {
  std::fflush(stderr);
  if (saved_ >= 0) {
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }
  if (file_ >= 0) {
    ::close(file_);
  }
}

std::string StandardErrorCapture::text() const {
  // A descriptor of its own, so that standard error's offset stays where it is.
  std::string bytes;
  int reader = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (reader >= 0) {
    (void)readToEnd(reader, bytes, path_, size_t{1} << 20);
    ::close(reader);
  }
  return bytes;
}

}  // namespace installer::selftest
