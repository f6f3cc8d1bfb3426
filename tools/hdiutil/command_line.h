#pragma once

#include <string>
#include <vector>

#include "platform/result.h"

namespace installer::standin {

enum class Verb { Attach, Detach };

// What the command line asks for.
struct Request {
  Verb verb = Verb::Attach;
  std::string target;  // attach: the image; detach: the mount point
  bool propertyList = false;  // attach -plist
  bool force = false;         // detach -force
};

// Reads `arguments` (the program's own name first): a verb, its options (anywhere
// after the verb) and exactly one image or mount point.  The Error says what is wrong.
Result<Request> parseCommandLine(const std::vector<std::string>& arguments);

// The usage text, ending in a line feed.
std::string usageText();

}  // namespace installer::standin
