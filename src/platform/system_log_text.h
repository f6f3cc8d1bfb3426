#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace installer {

// The most bytes one record may hand the system's log.  The unified log has been seen
// to lose a whole public string of one to two thousand bytes ("<decode: bad range>"),
// not only its tail; a licence agreement in hdiutil's output is that long.
constexpr size_t kSystemLogMostBytes = 800;

// What the system's log receives for `message`: the message itself when it has at
// most kSystemLogMostBytes, otherwise its start, cut where no UTF-8 character is
// split, followed by "... [N more bytes on standard error]", N being the bytes of the
// message left out, the whole no longer than kSystemLogMostBytes.  Standard error
// keeps every record whole.
std::string systemLogText(std::string_view message);

}  // namespace installer
