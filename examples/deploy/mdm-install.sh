#!/bin/bash
# A shell script for any MDM that runs scripts as root (Jamf, Kandji, Mosyle, Intune,
# Workspace ONE...): fetches a disk image, installs one application bundle from it with
# image-installer, and exits with the tool's status.
#
#   mdm-install.sh [IMAGE [BUNDLE]]
#
# IMAGE is a full path on the Mac or an https:// URL; BUNDLE the bundle's name as the
# image holds it.  Without arguments (MDMs that pass none), the two settings below are
# used: edit them for each app.
image_source='https://software.example.com/Sample-1.0.dmg'
bundle='Sample.app'
#
# The tool lies at /Library/Management/image-installer/tool/bin/image-installer, so its
# working folder is /Library/Management/image-installer: the image is fetched there for
# the run and removed afterwards, whatever the run's outcome.  IMAGE_INSTALLER_HOME,
# when set, stands for that folder: MDMs do not set it; tests do.
set -u

home=${IMAGE_INSTALLER_HOME:-/Library/Management/image-installer}
tool=$home/tool/bin/image-installer
image_source=${1:-$image_source}
bundle=${2:-$bundle}
name=${image_source##*/}
name=${name%%\?*}

if [ ! -x "$tool" ] || [ -z "$name" ] || [ -z "$bundle" ]; then
  echo "mdm-install: no tool at $tool, or no image or bundle named" >&2
  exit 1
fi

staged=$home/$name
trap 'rm -f -- "$staged" "$staged.$$"' EXIT
case $image_source in
  /*) cp -- "$image_source" "$staged.$$" ;;
  # At most half an hour, so that a stalled server cannot hold the MDM's queue.
  *) curl --fail --silent --show-error --location --max-time 1800 --output "$staged.$$" "$image_source" ;;
esac || exit 1
mv -f -- "$staged.$$" "$staged" || exit 1

status=0
"$tool" "$name" "$bundle" || status=$?
echo "mdm-install: $bundle from $name ended with status $status"
exit "$status"
