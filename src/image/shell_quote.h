#pragma once

#include <string>
#include <string_view>

namespace installer {

// Whether every byte of `text` stands for itself in a bash word with no quoting at
// all: ASCII letters, digits and "_-.,/+:@%=".  Anything else (blanks, quotes, "$",
// glob and history characters, control bytes, bytes of other encodings) counts as
// special.
bool isShellPlain(std::string_view text);

// `text` as one bash word that reads back as exactly its bytes: unchanged when it is
// plain, otherwise in single quotes, each single quote in it written as '\''.  Safe
// for every byte but NUL, whatever the shell's locale: inside single quotes bash
// ends the word only at the byte 0x27, which no encoding bash supports uses as part
// of another character.
std::string shellWord(std::string_view text);

// `text` for use between double quotes: '"', '$', '`' and '\' get a backslash in
// front, so that the quoted word reads back as `text` and no expansion happens.
// (A non-interactive bash does no history expansion, so '!' needs nothing.)
std::string escapedForDoubleQuotes(std::string_view text);

}  // namespace installer
