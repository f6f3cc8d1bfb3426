#pragma once

#include <string>
#include <string_view>

#include "platform/result.h"

namespace installer {

// Reads from `fd` until end of file, appending what arrives to `bytes`; an
// interrupted read is tried again.  Stops with EFBIG once `bytes` would pass
// `maxBytes`.  `shownPath` names the source in the Error.
Result<void> readToEnd(int fd, std::string& bytes, std::string_view shownPath,
                       size_t maxBytes = std::string::npos);

// Writes all of `bytes` to `fd`, however many writes that takes; an interrupted
// write is tried again, and on a non-blocking descriptor that is full, the rest waits
// until there is room.  `shownPath` names the target in the Error.
Result<void> writeAll(int fd, std::string_view bytes, std::string_view shownPath);

}  // namespace installer
