#include "selftest/log_reading.h"

#include <string_view>

namespace installer::selftest {

namespace {

// What `log show` prints in place of a record, or of its text, that it cannot show.
constexpr std::string_view kUnreadable[] = {"<decode", "Invalid bounds", "<compose failure", "<private>"};

// A quoted line of the log stays short enough to read in the report.
constexpr size_t kLongestQuote = 900;

std::string quoted(std::string_view line) {
  return line.size() > kLongestQuote ? std::string(line.substr(0, kLongestQuote)) + "..." : std::string(line);
}

// The first line of `output` for which `matches` holds.
template <typename Matches>
std::optional<std::string_view> firstLine(std::string_view output, Matches matches) {
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    end = end == std::string_view::npos ? output.size() : end;
    std::string_view line = output.substr(start, end - start);
    if (matches(line)) {
      return line;
    }
    start = end + 1;
  }
  return std::nullopt;
}

}  // namespace

std::optional<Outcome> readRecord(const std::string& output, const ExpectedRecord& record) {
  auto holds = [](std::string_view text) { return [text](std::string_view line) { return line.find(text) != std::string_view::npos; }; };
  if (firstLine(output, holds(record.shown))) {
    return passed();
  }
  if (std::optional<std::string_view> line = firstLine(output, holds(record.token))) {
    return failed("the record is there but not whole: " + quoted(*line));
  }
  std::optional<std::string_view> unreadable = firstLine(output, [](std::string_view line) {
    for (std::string_view sign : kUnreadable) {
      if (line.find(sign) != std::string_view::npos) {
        return true;
      }
    }
    return false;
  });
  if (unreadable) {
    return failed("the log cannot show a record of this process: " + quoted(*unreadable));
  }
  return std::nullopt;
}

}  // namespace installer::selftest
