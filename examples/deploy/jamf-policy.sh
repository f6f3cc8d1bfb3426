#!/bin/bash
# Jamf Pro policy script: installs one application bundle from a disk image with
# image-installer and passes the tool's exit status through to the policy.
#
#   Parameter 4  the disk image: a full path on the Mac, or a file name in Jamf's
#                Waiting Room, where a policy's "Cache" package action leaves it
#                (/Library/Application Support/JAMF/Waiting Room)
#   Parameter 5  the bundle's name as the image holds it, such as "Firefox.app"
#
# The tool lies at /Library/Management/image-installer/tool/bin/image-installer, so its
# working folder is /Library/Management/image-installer: the image is copied there for
# the run and removed afterwards, whatever the run's outcome.  The tool's log goes to
# the unified log and to standard error, which Jamf keeps in the policy log.
#
# IMAGE_INSTALLER_HOME and JAMF_WAITING_ROOM, when set, stand for those two folders;
# Jamf sets neither, and tests set them to run this script elsewhere.
set -u

home=${IMAGE_INSTALLER_HOME:-/Library/Management/image-installer}
waiting_room=${JAMF_WAITING_ROOM:-/Library/Application Support/JAMF/Waiting Room}
tool=$home/tool/bin/image-installer
image=${4:-}
bundle=${5:-}

if [ -z "$image" ] || [ -z "$bundle" ]; then
  echo "image-installer policy: parameter 4 (the disk image) and parameter 5 (the bundle) are needed"
  exit 1
fi
case $image in
  /*) ;;
  *) image=$waiting_room/$image ;;
esac
if [ ! -x "$tool" ] || [ ! -f "$image" ]; then
  echo "image-installer policy: no tool at $tool, or no disk image at $image"
  exit 1
fi

# In the working folder under its own name, copied whole before the tool sees it.
name=${image##*/}
staged=$home/$name
if [ ! "$image" -ef "$staged" ]; then
  trap 'rm -f -- "$staged" "$staged.$$"' EXIT
  cp -- "$image" "$staged.$$" && mv -f -- "$staged.$$" "$staged" || exit 1
fi

status=0
"$tool" "$name" "$bundle" || status=$?
echo "image-installer policy: $bundle from $name ended with status $status"
exit "$status"
