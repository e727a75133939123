#!/usr/bin/env bash
# The whole-run benchmark on a journalled file system whose flushes reach the
# device: ext4 in an image on a loop device with direct I/O, made and removed
# here, with the I/O floors that flush each output and that flush them all at
# once. The image lies in IMAGE_FOLDER (default /var/tmp): its flushes reach
# the disk only if the file system there passes them on.
#
#   bench/disk_run.sh [--image-folder IMAGE_FOLDER] [whole_run.py arguments]
#
# Needs root and a free loop device; says so and exits 0 without them.
set -euo pipefail
cd "$(dirname "$0")/.."

image_folder=/var/tmp
if [[ ${1:-} == --image-folder ]]; then
  image_folder=$2
  shift 2
fi

skip() {
  echo "disk benchmark skipped: $1"
  exit 0
}
[[ $(id -u) == 0 ]] || skip "it needs root to set up a loop device"
command -v losetup >/dev/null && command -v mkfs.ext4 >/dev/null ||
  skip "losetup or mkfs.ext4 is missing"
[[ -e /dev/loop-control ]] || skip "no /dev/loop-control"

work=$(mktemp -d "$image_folder/tarnwick-disk-bench.XXXXXX")
device=""
cleanup() {
  if mountpoint -q "$work/mount"; then umount "$work/mount"; fi
  if [[ -n $device ]]; then losetup -d "$device"; fi
  rm -rf "$work"
}
trap cleanup EXIT

truncate -s 4G "$work/ext4.img"
mkfs.ext4 -q -F "$work/ext4.img"
device=$(losetup --find --show --direct-io=on "$work/ext4.img" 2>/dev/null) ||
  skip "no loop device could be set up"
mkdir "$work/mount"
mount "$device" "$work/mount" 2>/dev/null || skip "$device could not be mounted"
echo "ext4 on $device (direct I/O: $(cat "/sys/block/${device#/dev/}/loop/dio")), image in" \
  "$(df --output=fstype "$image_folder" | tail -1) at $image_folder"
python3 bench/whole_run.py --work "$work/mount/work" --flush-floors "$@"
