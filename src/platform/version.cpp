#include "platform/version.h"

namespace installer {

namespace {

// what(1) prints what follows "@(#)"; the prefix is taken from the mark itself, so
// that an executable holds the text once.
[[gnu::used]] const char kVersionMark[] = "@(#)image-installer " IMAGE_INSTALLER_VERSION;
constexpr std::string_view kMarkPrefix(kVersionMark, sizeof("@(#)image-installer ") - 1);

}  // namespace

std::string_view toolVersion() {
  return std::string_view(kVersionMark + kMarkPrefix.size(), sizeof(kVersionMark) - 1 - kMarkPrefix.size());
}

void keepVersionMark() {
  // The mark's address goes into a register the optimizer cannot see through, so the
  // object file refers to it, the linker keeps it (even when it drops unused
  // sections, as -dead_strip does), and `used` keeps the compiler from dropping it.
  asm volatile("" : : "r"(kVersionMark) : "memory");
}

std::optional<std::string> versionMarkIn(std::string_view bytes) {
  size_t start = bytes.find(kMarkPrefix);
  if (start == std::string_view::npos) {
    return std::nullopt;
  }
  std::string_view rest = bytes.substr(start + kMarkPrefix.size());
  return std::string(rest.substr(0, rest.find_first_of(std::string_view("\0\">\\\n", 5))));
}

}  // namespace installer
