#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace installer {

// How large a tree built from a property list may get.
struct PropertyListLimits {
  std::size_t depth;  // containers nested within one another
  std::size_t nodes;  // values of every kind, dictionary keys included
  // Bytes moved in all while decoding character references ("&amp;"): libplist moves
  // the rest of a text along for each one, which takes time quadratic in their number.
  std::uint64_t referenceWork;
};

// Upper bounds on the tree libplist would build from some bytes.
struct PropertyListBounds {
  std::size_t depth = 0;  // containers on the longest path from the root (0 for a lone value)
  std::size_t nodes = 0;  // values, dictionary keys included
};

// libplist builds and frees its trees recursively, and a binary property list may
// share one object between many containers, which it copies for each.  These scans
// find, without parsing, bounds that the tree cannot exceed, and refuse bytes whose
// bounds pass `limits`, with an Error that says why; they never recurse and use memory
// bounded by the limits.

// For XML.  Every "<array" or "<dict" start counts as an opened container, wherever it
// stands (in comments and quoted values too); a container counts as closed only by a
// matching "</array" or "</dict" tag outside comments, CDATA sections, processing
// instructions, declarations and other tags.  Where readers could disagree on where
// such markup ends (quoted values holding '<', '>' or the other quote, an internal
// DTD subset), no later tag counts as closing.  So the depth found is never less than
// that of the tree any reader builds.  Every '<' not followed by '/' counts as a value.
// Each '&' counts as a reference whose decoding moves the text up to the next '<'.
Result<PropertyListBounds> scanXmlPropertyList(std::string_view bytes, PropertyListLimits limits);

// For the binary format ("bplist00").  Follows the object references from the top
// object, counting every shared object once per reference, and refuses tables,
// offsets and references that do not fit the bytes, and reference cycles.
Result<PropertyListBounds> scanBinaryPropertyList(std::string_view bytes, PropertyListLimits limits);

}  // namespace installer
