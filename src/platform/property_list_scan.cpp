#include "platform/property_list_scan.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace installer {

namespace {

std::string tooDeep(PropertyListLimits limits) {
  return "The property list nests containers more than " + std::to_string(limits.depth) + " levels deep.";
}

std::string tooMany(PropertyListLimits limits) {
  return "The property list holds more than " + std::to_string(limits.nodes) + " values.";
}

Error refused(std::string why) { return Error{0, std::move(why)}; }

// ---- XML ----

bool isNameByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
         c == '.' || c == ':';
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Just past the first `terminator` at or after `from`; the end of `text` without one.
size_t pastNext(std::string_view text, size_t from, std::string_view terminator) {
  size_t found = text.find(terminator, std::min(from, text.size()));
  return found == std::string_view::npos ? text.size() : found + terminator.size();
}

// Just past the markup (a tag, declaration or processing instruction) whose body
// starts at `from` and which ends with `terminator`, when every reading of it agrees
// where that is: quoted values, if any, are closed before the terminator and hold
// neither '<', '>' nor the other quote, and no internal subset ("[") is opened.
// Otherwise a reader might take something further on as part of the markup, and
// the end of `text` is returned.
size_t pastMarkup(std::string_view text, size_t from, std::string_view terminator) {
  size_t end = text.find(terminator, std::min(from, text.size()));
  if (end == std::string_view::npos) {
    return text.size();
  }
  std::string_view body = text.substr(from, end - from);
  for (size_t at = 0; at < body.size(); ++at) {
    char c = body[at];
    if (c == '[') {
      return text.size();
    }
    if (c != '"' && c != '\'') {
      continue;
    }
    size_t close = body.find(c, at + 1);
    if (close == std::string_view::npos ||
        body.substr(at + 1, close - at - 1).find_first_of(c == '"' ? "<>'" : "<>\"") != std::string_view::npos) {
      return text.size();
    }
    at = close;
  }
  return end + terminator.size();
}

enum class Container { None, Array, Dict };

// The container a tag starting at `at` (just after "<" or "</") names; with `exact`,
// only when the name ends there.
Container containerNamed(std::string_view text, size_t at, bool exact) {
  for (auto [name, kind] : {std::pair{std::string_view("array"), Container::Array},
                            std::pair{std::string_view("dict"), Container::Dict}}) {
    if (text.substr(at, name.size()) != name) {
      continue;
    }
    size_t after = at + name.size();
    if (!exact || after == text.size() || !isNameByte(text[after])) {
      return kind;
    }
  }
  return Container::None;
}

// Whether the start tag whose name ends at `after` is an empty "<array/>" or "<dict />".
bool isPlainEmptyTag(std::string_view text, size_t after) {
  while (after < text.size() && isBlank(text[after])) {
    ++after;
  }
  return text.substr(after, 2) == "/>";
}

// ---- binary ----

std::uint64_t bigEndian(std::string_view bytes, size_t at, size_t width) {
  std::uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

struct BinaryLayout {
  std::string_view bytes;
  size_t trailer = 0;  // where the 32-byte trailer starts; objects and tables lie before it
  size_t offsetWidth = 0;
  size_t refWidth = 0;
  std::uint64_t objectCount = 0;
  std::uint64_t top = 0;
  size_t offsetTable = 0;
};

// A container object's references, as positions in the bytes.
struct References {
  size_t first = 0;
  std::uint64_t count = 0;
};

std::string damaged(std::string_view what) { return "The binary property list is damaged: " + std::string(what) + "."; }

// The references an object holds: nothing for a value that holds none, an Error for a
// damaged object.
Result<std::optional<References>> lookAtObject(const BinaryLayout& layout, std::uint64_t index) {
  const std::string_view bytes = layout.bytes;
  size_t offset = bigEndian(bytes, layout.offsetTable + index * layout.offsetWidth, layout.offsetWidth);
  if (offset < 8 || offset >= layout.trailer) {
    return refused(damaged("an object offset lies outside the object table"));
  }
  unsigned marker = static_cast<unsigned char>(bytes[offset]);
  unsigned kind = marker >> 4;
  // Arrays, ordered sets, sets and dictionaries hold references; nothing else does.
  if (kind < 0xA || kind > 0xD) {
    return std::optional<References>();
  }
  std::uint64_t count = marker & 0xF;
  size_t at = offset + 1;
  if (count == 0xF) {
    if (at >= layout.trailer || (static_cast<unsigned char>(bytes[at]) >> 4) != 0x1) {
      return refused(damaged("a container's size is not an integer"));
    }
    size_t width = size_t{1} << (static_cast<unsigned char>(bytes[at]) & 0xF);
    if (width > 8 || width > layout.trailer - at - 1) {
      return refused(damaged("a container's size does not fit"));
    }
    count = bigEndian(bytes, at + 1, width);
    at += 1 + width;
  }
  std::uint64_t perEntry = kind == 0xD ? 2 : 1;  // a dictionary refers to its keys, then its values
  std::uint64_t room = (layout.trailer - at) / layout.refWidth;
  if (count > room / perEntry) {
    return refused(damaged("a container's references run past the end"));
  }
  return std::optional<References>(References{at, count * perEntry});
}

}  // namespace

Result<PropertyListBounds> scanXmlPropertyList(std::string_view text, PropertyListLimits limits) {
  std::uint64_t referenceWork = 0;
  size_t textEnd = text.size();  // where the text that holds the current byte ends
  for (size_t at = text.size(); at-- > 0;) {
    if (text[at] == '<') {
      textEnd = at;
    } else if (text[at] == '&' && (referenceWork += textEnd - at) > limits.referenceWork) {
      return refused("The property list holds too many character references.");
    }
  }

  std::vector<Container> open;  // innermost last
  PropertyListBounds bounds;
  size_t skipUntil = 0;  // closing tags before this stand inside markup a reader passes over
  for (size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at + 1)) {
    bool closing = text.substr(at, 2) == "</";
    if (!closing) {
      if (++bounds.nodes > limits.nodes) {
        return refused(tooMany(limits));
      }
      Container opened = containerNamed(text, at + 1, false);
      size_t nameLength = opened == Container::Array ? 5 : 4;
      if (opened != Container::None) {
        // An empty "<array/>" is a container too, but one that closes at once.
        bool empty = isPlainEmptyTag(text, at + 1 + nameLength);
        size_t reached = open.size() + 1;
        if (reached > limits.depth) {
          return refused(tooDeep(limits));
        }
        bounds.depth = std::max(bounds.depth, reached);
        if (!empty) {
          open.push_back(opened);
        }
      }
    }
    if (at < skipUntil) {
      continue;
    }
    std::string_view rest = text.substr(at);
    if (rest.starts_with("<!--")) {
      skipUntil = pastNext(text, at + 4, "-->");
    } else if (rest.starts_with("<![CDATA[")) {
      skipUntil = pastNext(text, at + 9, "]]>");
    } else if (rest.starts_with("<?")) {
      skipUntil = pastMarkup(text, at + 2, "?>");
    } else if (rest.starts_with("<!")) {
      skipUntil = pastMarkup(text, at + 2, ">");
    } else if (closing) {
      Container closed = containerNamed(text, at + 2, true);
      if (closed != Container::None && !open.empty() && open.back() == closed) {
        open.pop_back();
      }
      skipUntil = pastMarkup(text, at + 2, ">");
    } else {
      skipUntil = pastMarkup(text, at + 1, ">");
    }
  }
  return bounds;
}

Result<PropertyListBounds> scanBinaryPropertyList(std::string_view bytes, PropertyListLimits limits) {
  constexpr size_t kHeader = 8;
  constexpr size_t kTrailer = 32;
  if (bytes.size() < kHeader + kTrailer) {
    return refused(damaged("it is shorter than its header and trailer"));
  }
  BinaryLayout layout;
  layout.bytes = bytes;
  layout.trailer = bytes.size() - kTrailer;
  layout.offsetWidth = static_cast<unsigned char>(bytes[layout.trailer + 6]);
  layout.refWidth = static_cast<unsigned char>(bytes[layout.trailer + 7]);
  layout.objectCount = bigEndian(bytes, layout.trailer + 8, 8);
  layout.top = bigEndian(bytes, layout.trailer + 16, 8);
  std::uint64_t table = bigEndian(bytes, layout.trailer + 24, 8);
  if (layout.offsetWidth < 1 || layout.offsetWidth > 8 || layout.refWidth < 1 || layout.refWidth > 8) {
    return refused(damaged("its offsets or references have an impossible width"));
  }
  if (layout.objectCount == 0 || layout.top >= layout.objectCount) {
    return refused(damaged("its top object is not among its objects"));
  }
  if (table < kHeader || table > layout.trailer ||
      layout.objectCount > (layout.trailer - table) / layout.offsetWidth) {
    return refused(damaged("its offset table does not fit"));
  }
  layout.offsetTable = table;

  // Depth-first walk over the references with an explicit path.  A finished
  // container's bounds are kept, so a shared object is walked once but counted for
  // every reference to it, as libplist copies it for each.
  struct Frame {
    std::uint64_t index;
    References references;
    std::uint64_t next = 0;
    size_t height = 1;  // containers from this one down
    size_t nodes = 1;
  };
  std::vector<Frame> path;
  std::unordered_set<std::uint64_t> onPath;
  std::unordered_map<std::uint64_t, PropertyListBounds> finished;

  Result<std::optional<References>> root = lookAtObject(layout, layout.top);
  if (!root) {
    return root.error();
  }
  if (!*root) {
    return PropertyListBounds{0, 1};
  }
  if (limits.depth < 1) {
    return refused(tooDeep(limits));
  }
  path.push_back(Frame{layout.top, **root});
  onPath.insert(layout.top);

  for (;;) {
    Frame& frame = path.back();
    if (frame.next == frame.references.count) {
      PropertyListBounds done{frame.height, frame.nodes};
      finished.emplace(frame.index, done);
      onPath.erase(frame.index);
      path.pop_back();
      if (path.empty()) {
        return done;
      }
      Frame& parent = path.back();
      parent.height = std::max(parent.height, done.depth + 1);
      parent.nodes += done.nodes;
      if (parent.nodes > limits.nodes) {
        return refused(tooMany(limits));
      }
      continue;
    }
    std::uint64_t child =
        bigEndian(bytes, frame.references.first + frame.next * layout.refWidth, layout.refWidth);
    ++frame.next;
    if (child >= layout.objectCount) {
      return refused(damaged("a reference points past the last object"));
    }
    if (onPath.contains(child)) {
      return refused(damaged("a container holds itself"));
    }
    if (auto known = finished.find(child); known != finished.end()) {
      if (path.size() + known->second.depth > limits.depth) {
        return refused(tooDeep(limits));
      }
      frame.height = std::max(frame.height, known->second.depth + 1);
      frame.nodes += known->second.nodes;
      if (frame.nodes > limits.nodes) {
        return refused(tooMany(limits));
      }
      continue;
    }
    Result<std::optional<References>> look = lookAtObject(layout, child);
    if (!look) {
      return look.error();
    }
    if (!*look) {
      if (++frame.nodes > limits.nodes) {
        return refused(tooMany(limits));
      }
      continue;
    }
    if (path.size() >= limits.depth) {
      return refused(tooDeep(limits));
    }
    path.push_back(Frame{child, **look});
    onPath.insert(child);
  }
}

}  // namespace installer
