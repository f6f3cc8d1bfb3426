#include "selftest/copy_checks.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <map>

#include "install/replace_item.h"
#include "platform/fd.h"
#include "platform/fs.h"
#include "platform/error.h"
#include "selftest/feature_bundle.h"
#include "selftest/item_state.h"

namespace installer::selftest {

namespace {

constexpr const char* kBundle = "Feature.app";

// A temporary copy that replaceWithCopy left in the destination folder.
std::optional<std::string> leftoverIn(const std::string& folder) {
  Result<std::vector<std::string>> names = listFolder(folder);
  if (!names) {
    return names.error().description;
  }
  for (const std::string& name : *names) {
    if (isTemporaryNameFor(name, kBundle)) {
      return "left " + name + " behind";
    }
  }
  return std::nullopt;
}

// One install with replaceWithCopy, judged, and what its copy differs in.
struct Install {
  CheckLine line;
  bool done = false;
  std::vector<Difference> differences;
};

Install install(const std::string& name, const std::string& source, const std::string& folder,
                bool replacing) {
  Install result;
  result.line.name = name;
  const std::string destination = folder + "/" + kBundle;
  Result<TreeSnapshot> before = snapshotTree(source);
  Result<void> restated = before ? restat(*before, source) : Result<void>(before.error());
  if (!restated) {
    result.line.outcome = failed("the source cannot be read: " + restated.error().description);
    return result;
  }
  auto start = std::chrono::steady_clock::now();
  Result<Replacement> replaced = replaceWithCopy(source, destination);
  auto took = std::chrono::steady_clock::now() - start;
  if (!replaced) {
    result.line.outcome = failed(replaced.error().description);
    return result;
  }
  if (replaced->replacedExisting != replacing) {
    result.line.outcome = failed(replacing ? "it did not see the installed copy it replaced"
                                           : "it says it replaced an item where none stood");
  } else if (replaced->leftover) {
    result.line.outcome = failed("the replaced copy stayed behind: " + replaced->leftover->description);
  } else if (std::optional<std::string> leftover = leftoverIn(folder)) {
    result.line.outcome = failed(*leftover);
  } else {
    result.line.outcome = passed(std::to_string(before->size()) + " items in " + durationText(took));
  }
  Result<TreeSnapshot> after = snapshotTree(destination);
  if (!after) {
    result.line.outcome = failed("the copy cannot be read: " + after.error().description);
    return result;
  }
  result.done = true;
  result.differences = compareTrees(*before, source, *after, destination, CompareRules{::geteuid() == 0});
  return result;
}

// What the line of an aspect says when no difference was found.
std::string seenDetail(Aspect aspect, const std::string& source) {
  if (aspect != Aspect::times) {
    return {};
  }
  Result<TreeSnapshot> items = snapshotTree(source);
  if (items && !items->empty() && modificationTimeOf(items->front().status).tv_nsec == 0) {
    return "the file system here keeps whole seconds only";
  }
  return "";
}

}  // namespace

std::vector<CheckLine> copyChecks(const Workspace& workspace) {
  std::vector<CheckLine> lines;
  Result<std::string> sources = makeFolder(workspace, "source");
  Result<std::string> applications = makeFolder(workspace, "Applications");
  if (!sources || !applications) {
    lines.push_back({"copy: setting up", failed((sources ? applications.error() : sources.error()).description)});
    return lines;
  }
  const std::string source = *sources + "/" + kBundle;
  Result<FeatureBundle> bundle = makeFeatureBundle(source);
  if (!bundle) {
    lines.push_back({"copy: making the sample bundle", failed(bundle.error().description)});
    return lines;
  }

  Install fresh = install("copy: fresh install", source, *applications, false);
  lines.push_back(fresh.line);
  Install again;
  if (fresh.done) {
    // Something only the old copy has, which the replacement must not keep.
    std::string marking;
    if (UniqueFd mark(::open((*applications + "/" + kBundle + "/Contents/left-by-the-old-copy").c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        !mark) {
      marking = errorText(errno);
    }
    again = install("copy: replacing an installed copy", source, *applications, true);
    if (!marking.empty()) {
      again.line.outcome = failed("the old copy could not be marked: " + marking);
    }
  } else {
    again.line = {"copy: replacing an installed copy", skipped("no installed copy to replace")};
  }
  lines.push_back(again.line);

  for (Aspect aspect : kAspects) {
    CheckLine line{"copy: " + std::string(aspectName(aspect)), {}};
    if (auto reason = bundle->cannotHold.find(aspect); reason != bundle->cannotHold.end()) {
      line.outcome = skipped(reason->second);
    } else if (!fresh.done && !again.done) {
      line.outcome = skipped("no copy to compare");
    } else {
      std::vector<std::string> found;
      for (const Install* each : {&fresh, &again}) {
        for (const Difference& difference : each->differences) {
          if (difference.aspect == aspect) {
            found.push_back((each == &fresh ? "fresh: " : "replacing: ") + difference.text);
          }
        }
      }
      if (found.empty()) {
        line.outcome = passed(seenDetail(aspect, source));
      } else {
        std::string text;
        for (size_t i = 0; i < found.size() && i < 3; ++i) {
          text += (i > 0 ? "; " : "") + found[i];
        }
        if (found.size() > 3) {
          text += "; and " + std::to_string(found.size() - 3) + " more";
        }
        line.outcome = failed(text);
      }
    }
    lines.push_back(line);
  }
  return lines;
}

}  // namespace installer::selftest
