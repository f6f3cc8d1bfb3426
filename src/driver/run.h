#pragma once

#include <optional>
#include <string>
#include <vector>

#include "image/mount.h"
#include "image/record.h"
#include "image/unmount.h"

namespace installer {

// Everything one run of the tool shares between its steps.  main owns it and hands it
// down; each value is set once, in this order, and read afterwards.
struct Run {
  // The command line as received: [0] the tool, [1] the disk image's file name,
  // [2] the bundle's name.
  std::vector<std::string> arguments;
  // The folder the bundle is installed into, ending in "/": "/Applications/".
  std::string destinationFolder;
  // The working folder: holds the disk image and receives the mount record.  An
  // absolute path without a trailing slash ("/" only for the root).
  std::string basePath;
  // The mount command line as run.
  std::string cmd_string;
  // The bytes of the mount record as read; nothing when they were not read.
  std::optional<std::string> plistData;
  // The system entities the mount record lists, in record order.
  std::vector<SystemEntity> systemEntities;
  // How long the attach, and each detach and eject, may run: the tool's own limits,
  // which only tests shorten.
  TimeLimit attachLimit = kAttachLimit;
  TimeLimit detachLimit = kDetachLimit;

  const std::string& imageName() const { return arguments[1]; }
  const std::string& bundleName() const { return arguments[2]; }
  std::string recordPath() const { return mountRecordPath(basePath); }
  // The image's whole device, which a failed detach ejects instead ("" when the record
  // names none).
  std::string wholeDevice() const { return installer::wholeDevice(systemEntities); }
};

}  // namespace installer
