#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace installer {

// The bytes as UTF-8 text, each byte that is not part of a valid UTF-8 sequence
// replaced by U+FFFD.
std::string withInvalidUtf8Replaced(std::string_view bytes);

// The Unicode canonical composition (NFC) of valid UTF-8 text; nothing for bytes
// that are not valid UTF-8.
std::optional<std::string> composedForm(std::string_view text);

}  // namespace installer
