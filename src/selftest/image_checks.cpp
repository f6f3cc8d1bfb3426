#include "selftest/image_checks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "driver/search.h"
#include "image/mount.h"
#include "image/record.h"
#include "image/unmount.h"
#include "install/replace_item.h"
#include "platform/error.h"
#include "platform/fd.h"
#include "platform/fs.h"
#include "platform/io.h"
#include "selftest/attached_image.h"
#include "selftest/tree_compare.h"

namespace installer::selftest {

namespace {

constexpr const char* kVolumeName = "Selftest Volume";
// The bundle is stored decomposed ("e" and a combining acute accent), as HFS+ stores
// every name, and asked for composed, as an administrator types it.
constexpr const char* kStoredName = "Tiny Cafe\xCC\x81.app";
constexpr const char* kAskedName = "Tiny Caf\xC3\xA9.app";

Result<void> writeFile(const std::string& path, mode_t mode, const std::string& text) {
  UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!file) {
    return systemError(errno, "creating", path);
  }
  if (Result<void> written = writeAll(file.get(), text, path); !written) {
    return written;
  }
  if (::fchmod(file.get(), mode) != 0) {
    return systemError(errno, "setting permissions of", path);
  }
  return {};
}

Result<void> makeTinyBundle(const std::string& folder) {
  const std::string bundle = folder + "/" + kStoredName;
  for (const std::string& path : {bundle, bundle + "/Contents", bundle + "/Contents/MacOS"}) {
    if (::mkdir(path.c_str(), 0755) != 0) {
      return systemError(errno, "creating", path);
    }
  }
  if (Result<void> done = writeFile(bundle + "/Contents/Info.plist", 0644, "<plist version=\"1.0\"><dict/></plist>\n");
      !done) {
    return done;
  }
  if (Result<void> done = writeFile(bundle + "/Contents/MacOS/Tiny", 0755, "#!/bin/sh\necho tiny\n"); !done) {
    return done;
  }
  if (::symlink("MacOS/Tiny", (bundle + "/Contents/Tiny").c_str()) != 0) {
    return systemError(errno, "creating the link", bundle + "/Contents/Tiny");
  }
  return {};
}

// What is wrong with a volume once it was detached: "" when it is gone.
std::string stillThere(const std::string& point, bool wasSeparate) {
  if (!itemExists(point)) {
    return "";
  }
  if (wasSeparate && !separateMount(point)) {
    return "";  // an empty folder left where the volume was mounted
  }
  return point + (wasSeparate ? " is still mounted" : " is still there");
}

}  // namespace

std::vector<CheckLine> imageChecks(const Workspace& workspace, const ImageTools& tools) {
  std::vector<CheckLine> lines;
  auto skipRest = [&](std::vector<std::string> names, const std::string& reason) {
    for (const std::string& name : names) {
      lines.push_back({name, skipped(reason)});
    }
    return lines;
  };
  const std::string make = "image: make a disk image", attach = "image: attach with the tool's mount step",
                    find = "image: find the bundle on the volume", copy = "image: copy the bundle off the volume",
                    detach = "image: detach with the tool's unmount step";
  if (tools.missing) {
    return skipRest({make, attach, find, copy, detach}, *tools.missing);
  }
  Result<std::string> sources = makeFolder(workspace, "image-source");
  Result<std::string> working = makeFolder(workspace, kImageFolder);
  Result<std::string> destination = makeFolder(workspace, "from-image");
  Result<void> made = !sources ? Result<void>(sources.error())
                      : !working ? Result<void>(working.error())
                      : !destination ? Result<void>(destination.error())
                                     : makeTinyBundle(*sources);
  if (made) {
    made = makeImage(tools, *sources, *working + "/" + tools.imageName, kVolumeName);
  }
  if (!made) {
    lines.push_back({make, failed(made.error().description)});
    return skipRest({attach, find, copy, detach}, "no image");
  }
  lines.push_back({make, passed(tools.description)});

  MountOutcome mounted = mountImage(*working, tools.imageName, kAttachLimit);
  if (mounted.exitStatus != 0 || !mounted.entities) {
    lines.push_back({attach, failed("the mount step ended with status " + std::to_string(mounted.exitStatus) +
                                    " (its log records follow)")});
    return skipRest({find, copy, detach}, "nothing attached");
  }
  std::vector<std::string> points = mountPoints(*mounted.entities);
  std::vector<bool> separate;
  for (const std::string& point : points) {
    separate.push_back(separateMount(point));
  }
  std::string listed;
  for (const std::string& point : points) {
    listed += (listed.empty() ? "" : ", ") + point;
  }
  lines.push_back({attach, points.empty() ? failed("the record lists no mount point")
                                          : passed(std::to_string(points.size()) + " volume(s): " + listed)});

  // The search, as the tool's: the first name on a volume that is the bundle asked for.
  std::optional<std::string> found;
  std::string search;
  for (const std::string& point : points) {
    Result<std::vector<std::string>> names = listFolder(point);
    if (!names) {
      search = names.error().description;
      continue;
    }
    for (const std::string& name : *names) {
      if (!found && sameBundleName(name, kAskedName)) {
        found = point + "/" + name;
      }
    }
    if (!found) {
      search = "no name on " + point + " is " + kAskedName + ": " + listingText(*names);
    }
  }
  lines.push_back({find, found ? passed() : failed(search.empty() ? "no volume" : search)});

  if (found) {
    Result<TreeSnapshot> before = snapshotTree(*found);
    Result<void> restated = before ? restat(*before, *found) : Result<void>(before.error());
    const std::string installed = *destination + "/" + kAskedName;
    Result<Replacement> copied = restated ? replaceWithCopy(*found, installed) : Result<Replacement>(restated.error());
    Result<TreeSnapshot> after = copied ? snapshotTree(installed) : Result<TreeSnapshot>(copied.error());
    if (!after) {
      lines.push_back({copy, failed(after.error().description)});
    } else {
      std::vector<Difference> differences = compareTrees(*before, *found, *after, installed, {::geteuid() == 0});
      lines.push_back({copy, differences.empty() ? passed(std::to_string(after->size()) + " items, as on the volume")
                                                 : failed(differences.front().text)});
    }
  } else {
    lines.push_back({copy, skipped("no bundle found")});
  }

  std::string left;
  for (size_t i = 0; i < points.size(); ++i) {
    unmountDMG(points[i], tools.imageName, wholeDevice(*mounted.entities), kDetachLimit);
    if (std::string wrong = stillThere(points[i], separate[i]); !wrong.empty()) {
      left += (left.empty() ? "" : "; ") + wrong;
    }
  }
  if (left.empty()) {
    removeFiles(mountRecordPath(*working));
  }
  lines.push_back({detach, left.empty() ? passed() : failed(left)});
  return lines;
}

std::vector<std::string> detachLeftovers(const Workspace& workspace, const ImageTools& tools) {
  const std::string record = mountRecordPath(workspace / kImageFolder);
  Result<std::string> bytes = readPrivateFile(record, size_t{4} << 20);
  if (!bytes) {
    return {};
  }
  Result<std::vector<SystemEntity>> entities = readMountRecordBytes(*bytes);
  std::vector<std::string> stay;
  for (const std::string& point : entities ? mountPoints(*entities) : std::vector<std::string>{}) {
    if (itemExists(point)) {
      unmountDMG(point, tools.imageName, wholeDevice(*entities), kDetachLimit);
      if (itemExists(point) && separateMount(point)) {
        stay.push_back(point);
      }
    }
  }
  return stay;
}

}  // namespace installer::selftest
