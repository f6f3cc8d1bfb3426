#pragma once

#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// The messages of a log written to standard error: the text of each record with its
// "YYYY-MM-DD HH:MM:SS.mmm name[pid:tid] " prefix and its final line feed taken off.
// A message may hold line breaks of its own.
std::vector<std::string> splitLogRecords(const std::string& log);

// Captures what the calling process logs while `body` runs, as messages.
std::vector<std::string> capturedLog(const std::function<void()>& body);

// Whether `log` holds `message` as one of its messages.
bool logHas(const std::vector<std::string>& log, const std::string& message);

}  // namespace testing_support
