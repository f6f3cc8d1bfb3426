// hdiutil stand-in for Linux: the attach and detach verbs of macOS's hdiutil, with
// its output shapes, over disk images read by 7-Zip.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "command_line.h"
#include "verbs.h"

int main(int argc, char** argv) {
  using namespace installer::standin;

  installer::Result<Request> parsed = parseCommandLine(std::vector<std::string>(argv, argv + argc));
  if (!parsed) {
    std::cerr << "hdiutil: " << parsed.error().description << "\n" << usageText();
    return 1;
  }
  const Request& request = *parsed;

  VerbOutcome outcome;
  if (request.verb == Verb::Attach) {
    // The caller may pipe in a licence answer; take it, then carry on without input.
    drainStandardInput();
    outcome = attachImage(request.target, request.propertyList);
  } else {
    outcome = detachVolume(request.target, request.force);
  }
  std::cout << outcome.standardOutput << std::flush;
  std::cerr << outcome.standardError << std::flush;
  return outcome.status;
}
