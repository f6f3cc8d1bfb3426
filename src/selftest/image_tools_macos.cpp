// macOS: Apple's hdiutil makes the image (HFS+, read-write) and attaches it.
#include <unistd.h>

#include "selftest/image_tools.h"
#include "platform/removal.h"
#include "selftest/programs.h"

namespace installer::selftest {

namespace {

constexpr const char* kHdiutil = "/usr/bin/hdiutil";

}  // namespace

ImageTools prepareImageTools(const Workspace&) {
  ImageTools tools;
  tools.imageName = "Selftest.dmg";
  tools.maker = kHdiutil;
  if (::access(kHdiutil, X_OK) != 0) {
    tools.missing = "there is no /usr/bin/hdiutil";
    return tools;
  }
  tools.description = "made and attached by /usr/bin/hdiutil (HFS+, UDRW)";
  return tools;
}

Result<void> makeImage(const ImageTools& tools, const std::string& folder, const std::string& image,
                       const std::string& volumeName) {
  return runProgram(tools.maker, {"hdiutil", "create", "-quiet", "-fs", "HFS+", "-format", "UDRW", "-volname",
                                  volumeName, "-srcfolder", folder, image});
}

Result<std::string> makeCompressedImage(const ImageTools& tools, const std::string& folder, const std::string& image,
                                        const std::string& volumeName) {
  auto make = [&](const std::string& format) {
    return runProgram(tools.maker, {"hdiutil", "create", "-quiet", "-fs", "HFS+", "-format", format, "-volname",
                                    volumeName, "-srcfolder", folder, image});
  };
  Result<void> ulfo = make("ULFO");
  if (ulfo) {
    return std::string("ULFO");
  }
  (void)removeItem(image);
  if (Result<void> udzo = make("UDZO"); !udzo) {
    return udzo.error();
  }
  return "UDZO (no ULFO: " + ulfo.error().description + ")";
}

}  // namespace installer::selftest
