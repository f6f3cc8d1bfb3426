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

// Whether `text` holds a byte that bash reads specially between double quotes: '"',
// '$', '`' or '\'.  (A non-interactive bash does no history expansion, so '!' is not
// one of them.)
bool hasDoubleQuoteSpecials(std::string_view text);

}  // namespace installer
