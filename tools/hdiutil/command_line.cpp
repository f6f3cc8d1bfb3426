#include "command_line.h"

#include <algorithm>
#include <array>

namespace installer::standin {

namespace {

// Options hdiutil attach accepts that change nothing for a read-only stand-in.
constexpr std::array<std::string_view, 7> kQuietAttachOptions = {
    "-nobrowse", "-readonly", "-noverify", "-noautoopen", "-noautofsck", "-quiet", "-noidme"};

}  // namespace

Result<Request> parseCommandLine(const std::vector<std::string>& arguments) {
  if (arguments.size() < 2) {
    return Error{0, "no verb given"};
  }
  Request request;
  const std::string& verb = arguments[1];
  if (verb == "attach") {
    request.verb = Verb::Attach;
  } else if (verb == "detach") {
    request.verb = Verb::Detach;
  } else {
    return Error{0, "unknown verb '" + verb + "'"};
  }

  std::vector<std::string> targets;
  for (size_t index = 2; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    if (argument.empty() || argument.front() != '-') {
      targets.push_back(argument);
    } else if (request.verb == Verb::Attach && argument == "-plist") {
      request.propertyList = true;
    } else if (request.verb == Verb::Attach &&
               std::find(kQuietAttachOptions.begin(), kQuietAttachOptions.end(), argument) !=
                   kQuietAttachOptions.end()) {
    } else if (request.verb == Verb::Detach && argument == "-force") {
      request.force = true;
    } else if (request.verb == Verb::Detach && argument == "-quiet") {
    } else {
      return Error{0, verb + ": unknown option " + argument};
    }
  }
  if (targets.size() != 1) {
    const char* wanted = request.verb == Verb::Attach ? " needs exactly one image" : " needs exactly one mount point";
    return Error{0, verb + wanted};
  }
  request.target = targets.front();
  return request;
}

std::string usageText() {
  return "Usage: hdiutil <verb> <options>\n"
         "  hdiutil attach [-nobrowse] [-plist] [-readonly] [-noverify] [-noautoopen] [-quiet] IMAGE\n"
         "  hdiutil detach [-force] [-quiet] MOUNTPOINT\n"
         "A stand-in for macOS hdiutil: attaches disk images read-only through 7-Zip.\n";
}

}  // namespace installer::standin
