#include "selftest/log_checks.h"

#include <unistd.h>

#include "platform/log.h"
#include "platform/self.h"
#include "platform/system_log_text.h"
#include "selftest/programs.h"

namespace installer::selftest {

namespace {

// Whether `records` holds the message as one whole record of this process.
Outcome findOnStandardError(const std::string& records, const std::string& message) {
  const std::string self = programName() + "[" + std::to_string(::getpid()) + ":";
  size_t start = 0;
  while (start < records.size()) {
    size_t end = records.find('\n', start);
    end = end == std::string::npos ? records.size() : end;
    std::string_view line(records.data() + start, end - start);
    if (line.find(self) != std::string_view::npos && line.ends_with("] " + message)) {
      return passed();
    }
    start = end + 1;
  }
  return failed(records.empty() ? "nothing was written" : "no whole record: " + records.substr(0, 300));
}

}  // namespace

std::vector<CheckLine> logChecks(const std::string& recordsFile) {
  const std::string token = randomToken(), longToken = randomToken();
  // A percent sign and a path, which a logger that formats or redacts would change.
  const std::string message =
      "image-installer-selftest record " + token + ": 100% of /Applications/Sample App.app checked";
  // As long as a licence agreement in a command's output, with three-byte characters
  // where the unified log's text is cut.
  std::string longMessage = "image-installer-selftest long record " + longToken + ": ";
  for (int i = 0; i < 600; ++i) {
    longMessage += "\xE2\x82\xAC";  // the euro sign
  }
  std::string records;
  {
    StandardErrorCapture capture(recordsFile);
    logMessage(message);
    logMessage(longMessage);
    records = capture.text();
  }
  const std::string longShown = systemLogText(longMessage);
  std::vector<Outcome> unified = findInUnifiedLog({{token, message}, {longToken, longShown}});
  Outcome& longInLog = unified[1];
  if (longInLog.verdict == Verdict::ok) {
    longInLog.detail += (longInLog.detail.empty() ? "" : ", ") + std::string("its first ") +
                        std::to_string(longShown.size()) + " bytes with the cut marker";
  }
  return {
      {"log: the record on standard error", findOnStandardError(records, message)},
      {"log: the record in the unified log", unified[0]},
      {"log: a long record whole on standard error", findOnStandardError(records, longMessage)},
      {"log: a long record's start in the unified log", longInLog},
  };
}

}  // namespace installer::selftest
