#include "image/shell_quote.h"

namespace installer {

namespace {

bool isPlainByte(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
    return true;
  }
  switch (c) {
    case '_': case '-': case '.': case ',': case '/': case '+': case ':': case '@': case '%': case '=':
      return true;
    default:
      return false;
  }
}

}  // namespace

bool isShellPlain(std::string_view text) {
  for (char c : text) {
    if (!isPlainByte(c)) {
      return false;
    }
  }
  return true;
}

std::string shellWord(std::string_view text) {
  if (!text.empty() && isShellPlain(text)) {
    return std::string(text);
  }
  std::string word = "'";
  for (char c : text) {
    if (c == '\'') {
      word += "'\\''";
    } else {
      word += c;
    }
  }
  word += '\'';
  return word;
}

bool hasDoubleQuoteSpecials(std::string_view text) {
  return text.find_first_of("\"$`\\") != std::string_view::npos;
}

}  // namespace installer
