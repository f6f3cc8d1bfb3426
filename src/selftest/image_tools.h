#pragma once

#include <optional>
#include <string>

#include "platform/result.h"
#include "selftest/workspace.h"

// Making a small disk image, and reaching an hdiutil that attaches it: Apple's own on
// macOS; on Linux the stand-in (tools/hdiutil), with images made by xorriso.
// image_tools_linux.cpp and image_tools_macos.cpp.
namespace installer::selftest {

struct ImageTools {
  // Why no image can be made or attached here; nothing when one can.
  std::optional<std::string> missing;
  // What makes the image and what attaches it, for the report.
  std::string description;
  // The image's file name: "Selftest.dmg", "Selftest.iso".
  std::string imageName;
  // The program that makes images.
  std::string maker;
};

// Finds the tools and readies this process's environment, which the tool's attach
// and detach commands inherit: on Linux, the stand-in beside the self-test goes first
// on PATH when no hdiutil is there, and keeps its volumes inside the workspace.
ImageTools prepareImageTools(const Workspace& workspace);

// Makes the image file `image` from the folder `folder`, its volume named `volumeName`.
Result<void> makeImage(const ImageTools& tools, const std::string& folder, const std::string& image,
                       const std::string& volumeName);

// Makes the image file `image` from `folder` as installers ship theirs, compressed:
// on macOS ULFO (lzfse), or UDZO (zlib) where ULFO cannot be made; on Linux ISO 9660
// as makeImage makes it, the one format the stand-in reads that xorriso writes.
// Returns the format, for the report.
Result<std::string> makeCompressedImage(const ImageTools& tools, const std::string& folder, const std::string& image,
                                        const std::string& volumeName);

}  // namespace installer::selftest
