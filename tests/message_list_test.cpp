// The manual lists every message the tool can write, and nothing else: the messages are
// the string literals of each logMessage call under src/ (the self-test aside), the
// list is the tags of the entries under the manual's LOG section, where the bold parts
// are literal text and the italic parts are filled in at run time.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>

#include "support/files.h"

using testing_support::readFile;

namespace {

// Each match of `pattern` in `text`, as its first non-empty group.
std::vector<std::string> matches(const std::string& text, const std::regex& pattern) {
  std::vector<std::string> found;
  for (std::sregex_iterator m(text.begin(), text.end(), pattern), end; m != end; ++m) {
    found.push_back((*m)[1].matched ? (*m)[1].str() : (*m)[2].str());
  }
  return found;
}

// "where: literal piece" for each line of each literal of each logMessage call; a call
// without a literal of its own yields "where: " alone.
std::vector<std::pair<std::string, std::string>> loggedPieces() {
  std::vector<std::pair<std::string, std::string>> pieces;
  const std::regex comment(R"(//[^\n]*|/\*[\s\S]*?\*/)"), call(R"(\blogMessage\(([^;]*)\);)"),
      literal(R"re("((?:[^"\\]|\\.)*)")re"), escape(R"(\\n)");
  const std::filesystem::path src = std::filesystem::path(PROJECT_SOURCE_DIR) / "src";
  for (const auto& entry : std::filesystem::recursive_directory_iterator(src)) {
    std::string file = std::filesystem::relative(entry.path(), src).string();
    if (!entry.is_regular_file() || file.starts_with("selftest/") || file.starts_with("platform/log.")) {
      continue;
    }
    for (const std::string& arguments : matches(std::regex_replace(readFile(entry.path()), comment, ""), call)) {
      std::string text;
      for (const std::string& piece : matches(arguments, literal)) {
        text += std::regex_replace(piece, escape, "\n") + "\n";
      }
      std::istringstream lines(text.empty() ? "\n" : text);
      for (std::string line; std::getline(lines, line);) {
        if (text.empty() || line.find_first_not_of(' ') != std::string::npos) {
          pieces.emplace_back(file, line);
        }
      }
    }
  }
  return pieces;
}

// The bold parts of each entry's tag (.B or .BI after .TP) under the manual's LOG section.
std::vector<std::vector<std::string>> manualMessageList() {
  std::string manual = readFile(std::string(PROJECT_SOURCE_DIR) + "/docs/image-installer.1");
  manual = manual.substr(manual.find("\n.SH LOG\n"));
  manual = manual.substr(0, manual.find("\n.SH ", 1));
  const std::regex tag(R"(\n\.TP\n(?:\.PD.*\n)?\.(BI?) (.*))"), argument(R"re("([^"]*)"|(\S+))re");
  std::vector<std::vector<std::string>> entries;
  for (std::sregex_iterator m(manual.begin(), manual.end(), tag), end; m != end; ++m) {
    std::string line = std::regex_replace((*m)[2].str(), std::regex(R"(\\\(dq)"), "\x01");
    line = std::regex_replace(std::regex_replace(line, std::regex(R"(\\e)"), "\\"), std::regex(R"(\\([ -]))"), "$1");
    std::vector<std::string> arguments = matches(line, argument), bold;
    for (size_t i = 0; i < arguments.size(); i += (*m)[1] == "BI" ? 2 : 1) {
      std::replace(arguments[i].begin(), arguments[i].end(), '\x01', '"');
      if ((*m)[1] == "B" && !bold.empty()) {
        bold.back() += " " + arguments[i];  // .B: the words of one text
      } else {
        bold.push_back(arguments[i]);
      }
    }
    entries.push_back(bold);
  }
  return entries;
}

TEST(MessageList, TheManualListsEveryMessageTheToolWritesAndNoOther) {
  auto pieces = loggedPieces();
  auto entries = manualMessageList();
  ASSERT_GE(pieces.size(), 30u);
  ASSERT_GE(entries.size(), 20u);
  auto holds = [](const std::vector<std::string>& bold, const std::string& piece) {
    return std::ranges::any_of(bold, [&](const std::string& part) { return part.find(piece) != std::string::npos; });
  };
  for (const auto& [where, piece] : pieces) {
    EXPECT_FALSE(piece.empty()) << where << ": a message made elsewhere; log it with its text at the call";
    EXPECT_TRUE(std::ranges::any_of(entries, [&](const auto& bold) { return holds(bold, piece); }))
        << where << ": \"" << piece << "\" is not in the manual's message list";
  }
  for (const auto& bold : entries) {
    EXPECT_TRUE(std::ranges::any_of(pieces, [&](const auto& logged) { return holds(bold, logged.second); }))
        << "the manual lists \"" << bold.back() << "\", which the tool never writes";
  }
}

}  // namespace
