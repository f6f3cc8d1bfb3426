#pragma once

#include <plist/plist.h>

#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/property_list_scan.h"
#include "platform/result.h"

namespace installer {

// Owns a libplist tree and frees it when it goes out of scope.
struct PropertyListFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using PropertyListTree = std::unique_ptr<std::remove_pointer_t<plist_t>, PropertyListFree>;

// What the tool accepts: far beyond any record hdiutil writes (a few dozen values,
// three levels, hardly a character reference), far below what would strain
// libplist's recursion or take it more than a moment.
inline constexpr PropertyListLimits kPropertyListLimits{512, 100'000, std::uint64_t{1} << 28};

// What libplist says for bytes that are no property list.  libplist gives no reason
// of its own, so this is the platform's usual wording for such data.
inline constexpr std::string_view kNotAPropertyList =
    "The data couldn\u2019t be read because it isn\u2019t in the correct format.";

// Parses an XML or a binary property list (told apart by the "bplist00" header).
// Bytes that could build a tree beyond kPropertyListLimits are refused before libplist
// sees them (see property_list_scan.h), so any bytes at all are safe to pass.
Result<PropertyListTree> parsePropertyList(std::string_view bytes);

}  // namespace installer
