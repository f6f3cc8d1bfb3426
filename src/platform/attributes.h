#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace installer {

// Extended attributes of the tool's own on open items: attributes_linux.cpp and
// attributes_macos.cpp.  Only those who may change an item can set or remove them.

// The full name of the tool's own attribute `name`: "user.image-installer.NAME" on
// Linux, where unprivileged attributes live in the user namespace, and
// "image-installer.NAME" on macOS.
std::string toolAttribute(std::string_view name);

// Whether `attribute` is one of the tool's own: a copy never carries one over from an
// image.
inline bool isToolAttribute(std::string_view attribute) { return attribute.starts_with(toolAttribute("")); }

// Sets the attribute `attribute` of the open item `item` to `value`.
Result<void> setAttribute(int item, const std::string& attribute, std::string_view value);

// The value of the attribute `attribute` of the open item `item`; nothing when it has
// none, or it cannot be read.
std::optional<std::string> attributeValue(int item, const std::string& attribute);

// Takes the attribute `attribute` off the open item `item`; one it does not have is no
// failure.
Result<void> removeAttribute(int item, const std::string& attribute);

}  // namespace installer
