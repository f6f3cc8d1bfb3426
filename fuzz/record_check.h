#pragma once
// One input through the mount record reader, shared by the fuzzer and the replay of
// its corpus in the test suite.

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "image/record.h"
#include "platform/property_list.h"
#include "platform/property_list_scan.h"

namespace record_check {

// How deep and how large a libplist tree really is, measured without recursion.
inline installer::PropertyListBounds measureTree(plist_t root) {
  installer::PropertyListBounds measured;
  std::vector<std::pair<plist_t, size_t>> pending{{root, 0}};  // node, containers above it
  while (!pending.empty()) {
    auto [node, above] = pending.back();
    pending.pop_back();
    ++measured.nodes;
    plist_type type = plist_get_node_type(node);
    if (type == PLIST_ARRAY) {
      measured.depth = std::max(measured.depth, above + 1);
      for (uint32_t i = 0; i < plist_array_get_size(node); ++i) {
        pending.emplace_back(plist_array_get_item(node, i), above + 1);
      }
    } else if (type == PLIST_DICT) {
      measured.depth = std::max(measured.depth, above + 1);
      plist_dict_iter iterator = nullptr;
      plist_dict_new_iter(node, &iterator);
      for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, iterator, &key, &value);
        std::free(key);
        if (value == nullptr) {
          break;
        }
        ++measured.nodes;  // the key
        pending.emplace_back(value, above + 1);
      }
      std::free(iterator);
    }
  }
  return measured;
}

inline bool sameEntities(const std::vector<installer::SystemEntity>& a, const std::vector<installer::SystemEntity>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.mountPoint == y.mountPoint && x.devEntry == y.devEntry;
  });
}

// Empty when the input was handled well: no crash (the sanitizers watch for that),
// a tree within the bounds the scan promised, and a reading that agrees with itself.
inline std::string check(std::string_view bytes) {
  auto reading = installer::readMountRecordBytes(bytes);
  if (!reading && reading.error().description.empty()) {
    return "a failed parse came without a description";
  }
  // An XML record is what hdiutil writes last: a licence in front of it, however much
  // of a list it quotes, and blanks after it change nothing; any other text after it
  // means it was not the last.
  if (reading && !bytes.starts_with("bplist00")) {
    const std::string licence = "LICENSE <?xml version=\"1.0\"?><plist><dict><key>system-entities</key><array><dict>"
                                "<key>mount-point</key><string>/elsewhere</string></dict></array></dict></plist> "
                                "<plist><dict><!-- </plist> Agree Y/N? ";
    auto quoted = installer::readMountRecordBytes(licence + std::string(bytes) + "\n\t ");
    if (!quoted || !sameEntities(*quoted, *reading)) {
      return "a licence in front or blanks after changed the reading";
    }
    if (installer::readMountRecordBytes(std::string(bytes) + ".")) {
      return "text after the record was read as part of it";
    }
  }

  bool binary = plist_is_binary(bytes.data(), static_cast<uint32_t>(bytes.size())) != 0;
  auto scan = binary ? installer::scanBinaryPropertyList(bytes, installer::kPropertyListLimits)
                     : installer::scanXmlPropertyList(bytes, installer::kPropertyListLimits);
  auto parsed = installer::parsePropertyList(bytes);
  if (!parsed || !scan) {
    return {};
  }
  installer::PropertyListBounds measured = measureTree(parsed->get());
  if (measured.depth > scan->depth || measured.nodes > scan->nodes) {
    return "the tree (depth " + std::to_string(measured.depth) + ", " + std::to_string(measured.nodes) +
           " values) exceeds the scan's bounds (depth " + std::to_string(scan->depth) + ", " +
           std::to_string(scan->nodes) + " values)";
  }
  return {};
}

}  // namespace record_check
