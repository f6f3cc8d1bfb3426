// Linux: images made by xorriso (ISO 9660 with Rock Ridge, which keeps modes and
// links), attached by the hdiutil stand-in, which reads them with 7zz.
#include <stdlib.h>
#include <unistd.h>

#include "selftest/image_tools.h"
#include "selftest/programs.h"

namespace installer::selftest {

ImageTools prepareImageTools(const Workspace& workspace) {
  ImageTools tools;
  tools.imageName = "Selftest.iso";
  std::optional<std::string> xorriso = findOnPath("xorriso");
  if (!xorriso) {
    tools.missing = "xorriso is not installed (package xorriso): no image can be made";
    return tools;
  }
  tools.maker = *xorriso;
  if (!findOnPath("7zz")) {
    tools.missing = "7zz is not installed (package 7zip): the hdiutil stand-in reads images with it";
    return tools;
  }
  std::optional<std::string> hdiutil = findOnPath("hdiutil");
  if (!hdiutil) {
    std::optional<std::string> folder = executableFolder();
    std::string standIn = folder.value_or("") + "/tools/hdiutil/bin";
    if (!folder || ::access((standIn + "/hdiutil").c_str(), X_OK) != 0) {
      tools.missing = "no hdiutil on PATH, and no stand-in beside the self-test (tools/hdiutil/bin/hdiutil)";
      return tools;
    }
    const char* path = ::getenv("PATH");
    ::setenv("PATH", (standIn + ":" + (path != nullptr ? path : "/usr/bin:/bin")).c_str(), 1);
    hdiutil = standIn + "/hdiutil";
  }
  // The stand-in's volumes: inside the workspace, so they go with it.
  ::setenv("HDIUTIL_STANDIN_DIR", (workspace / "hdiutil-volumes").c_str(), 1);
  tools.description = "made by " + tools.maker + ", attached by " + *hdiutil;
  return tools;
}

Result<void> makeImage(const ImageTools& tools, const std::string& folder, const std::string& image,
                       const std::string& volumeName) {
  return runProgram(tools.maker, {"xorriso", "-as", "mkisofs", "-quiet", "-R", "-V", volumeName, "-o", image, folder});
}

Result<std::string> makeCompressedImage(const ImageTools& tools, const std::string& folder, const std::string& image,
                                        const std::string& volumeName) {
  if (Result<void> made = makeImage(tools, folder, image, volumeName); !made) {
    return made.error();
  }
  return std::string("ISO 9660, uncompressed");
}

}  // namespace installer::selftest
