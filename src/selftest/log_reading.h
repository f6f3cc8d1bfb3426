#pragma once

#include <optional>
#include <string>

#include "selftest/report.h"

namespace installer::selftest {

// A record the self-test logged: `shown`, the text the unified log should show for it
// (systemLogText of the message), and `token`, a word near its start that no other
// record holds.
struct ExpectedRecord {
  std::string token;
  std::string shown;
};

// The verdict on `record` from `output`, all that `log show` printed of this process's
// records: ok when a line shows the record whole; FAILED, quoting the line, when a
// line holds its token but not the whole text, or when any line reads as a record the
// log could not show ("<decode", "Invalid bounds", "<compose failure>", "<private>");
// nothing while none of these is there yet.
std::optional<Outcome> readRecord(const std::string& output, const ExpectedRecord& record);

}  // namespace installer::selftest
