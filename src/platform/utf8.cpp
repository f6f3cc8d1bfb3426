#include "platform/utf8.h"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>

namespace installer {

namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

}  // namespace

std::string withInvalidUtf8Replaced(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  const auto* data = reinterpret_cast<const utf8proc_uint8_t*>(bytes.data());
  size_t at = 0;
  while (at < bytes.size()) {
    utf8proc_int32_t codepoint = 0;
    utf8proc_ssize_t length =
        utf8proc_iterate(data + at, static_cast<utf8proc_ssize_t>(bytes.size() - at), &codepoint);
    if (length > 0) {
      text.append(bytes.substr(at, static_cast<size_t>(length)));
      at += static_cast<size_t>(length);
    } else {
      text += kReplacementCharacter;
      ++at;
    }
  }
  return text;
}

std::optional<std::string> composedForm(std::string_view text) {
  utf8proc_uint8_t* composed = nullptr;
  utf8proc_ssize_t length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                   static_cast<utf8proc_ssize_t>(text.size()), &composed,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  if (length < 0) {
    return std::nullopt;
  }
  std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owner(composed, &std::free);
  return std::string(reinterpret_cast<const char*>(composed), static_cast<size_t>(length));
}

}  // namespace installer
