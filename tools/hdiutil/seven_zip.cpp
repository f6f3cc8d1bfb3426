#include "seven_zip.h"

#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <utility>

#include "platform/process.h"

namespace installer::standin {

namespace {

// 7-Zip's output, standard output and standard error merged.
Result<std::string> run(const std::string& sevenZip, const std::vector<std::string>& arguments) {
  // Extracting a large image is the longest it takes; a 7-Zip that hangs still ends.
  const TimeLimit limit{std::chrono::minutes(30), std::chrono::seconds(5)};
  Result<ChildOutcome> child = runMerged(sevenZip, arguments, currentEnvironment(), limit);
  if (!child) {
    return child.error();
  }
  if (child->ending == Ending::StoppedAfterTimeLimit) {
    return Error{0, "7zz was stopped after 30 minutes"};
  }
  if (child->ending == Ending::KilledBySignal) {
    return Error{0, "7zz was killed by signal " + std::to_string(child->status)};
  }
  if (child->status != 0) {
    return Error{0, "7zz ended with status " + std::to_string(child->status)};
  }
  return std::move(child->output);
}

// Splits "Key = value"; false for any other line.
bool splitProperty(const std::string& line, std::string& key, std::string& value) {
  size_t at = line.find(" = ");
  if (at == std::string::npos) {
    if (line.size() > 2 && line.ends_with(" =")) {
      key = line.substr(0, line.size() - 2);
      value.clear();
      return true;
    }
    return false;
  }
  key = line.substr(0, at);
  value = line.substr(at + 3);
  return true;
}

void setLayerProperty(ArchiveLayer& layer, const std::string& key, const std::string& value) {
  if (key == "Path") {
    layer.path = value;
  } else if (key == "Type") {
    layer.type = value;
  } else if (key == "Method") {
    layer.method = value;
  } else if (key == "Label") {
    layer.label = value;
  }
}

void setEntryProperty(ArchiveEntry& entry, const std::string& key, const std::string& value) {
  if (key == "Folder") {
    entry.folder = value == "+";
  } else if (key == "Alternate Stream") {
    entry.alternateStream = value == "+";
  } else if (key == "Size" && !value.empty()) {
    entry.size = std::strtoull(value.c_str(), nullptr, 10);
  } else if (key == "Mode") {
    entry.mode = value;
  } else if (key == "Comment") {
    entry.comment = value;
  } else if (key == "Symbolic Link") {
    entry.symbolicLink = value;
  }
}

}  // namespace

std::optional<std::string> findSevenZip() {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path != nullptr && *path != '\0' ? path : "/usr/local/bin:/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    std::string candidate = (folder.empty() ? "." : folder) + "/7zz";
    if (::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return std::nullopt;
}

Result<ArchiveListing> listArchive(const std::string& sevenZip, const std::string& archive,
                                   const std::string& forcedType) {
  std::vector<std::string> arguments = {sevenZip, "l", "-slt", "-sccUTF-8"};
  if (!forcedType.empty()) {
    arguments.push_back("-t" + forcedType);
  }
  // "--" ends the switches: an image whose name starts with '-' stays a file name.
  arguments.insert(arguments.end(), {"--", archive});
  Result<std::string> output = run(sevenZip, arguments);
  if (!output) {
    return output.error();
  }
  return parseListing(*output);
}

Result<void> extractArchive(const std::string& sevenZip, const std::string& archive, const std::string& folder,
                            const std::string& forcedType) {
  std::vector<std::string> arguments = {sevenZip, "x", "-sns-", "-y", "-bd", "-sccUTF-8"};
  if (!forcedType.empty()) {
    arguments.push_back("-t" + forcedType);
  }
  arguments.insert(arguments.end(), {"-o" + folder, "--", archive});
  if (Result<std::string> output = run(sevenZip, arguments); !output) {
    return output.error();
  }
  return {};
}

ArchiveListing parseListing(const std::string& output) {
  // The header holds the layers, each begun by a "--" line and possibly followed by
  // a "----" block describing the item the next layer was opened from; a line of
  // ten dashes starts the entries, which are separated by blank lines.
  enum class Section { Preamble, Layer, Item, Entries };
  Section section = Section::Preamble;
  ArchiveListing listing;
  std::string pendingItemComment;
  bool inComment = false;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (section != Section::Entries) {
      if (line == "--") {
        section = Section::Layer;
        listing.layers.emplace_back();
        listing.layers.back().itemComment = std::exchange(pendingItemComment, {});
        inComment = false;
        continue;
      }
      if (line == "----") {
        section = Section::Item;
        inComment = false;
        continue;
      }
      if (line == "----------") {
        section = Section::Entries;
        continue;
      }
    }
    std::string key;
    std::string value;
    switch (section) {
      case Section::Preamble:
        break;
      case Section::Layer: {
        ArchiveLayer& layer = listing.layers.back();
        if (inComment) {
          if (line == "}") {
            inComment = false;
          } else {
            layer.comment += (layer.comment.empty() ? "" : "\n") + line;
          }
        } else if (line == "{") {
          inComment = true;
        } else if (splitProperty(line, key, value)) {
          setLayerProperty(layer, key, value);
        }
        break;
      }
      case Section::Item:
        if (splitProperty(line, key, value) && key == "Comment") {
          pendingItemComment = value;
        }
        break;
      case Section::Entries:
        if (line.starts_with("Path = ")) {
          listing.entries.emplace_back();
          listing.entries.back().path = line.substr(7);
        } else if (!listing.entries.empty() && splitProperty(line, key, value)) {
          setEntryProperty(listing.entries.back(), key, value);
        }
        break;
    }
  }
  return listing;
}

std::string commentValue(const ArchiveLayer& layer, const std::string& key) {
  std::istringstream lines(layer.comment);
  std::string prefix = key + ": ";
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with(prefix)) {
      return line.substr(prefix.size());
    }
  }
  return "";
}

}  // namespace installer::standin
