#!/bin/bash
# As root, on a machine whose kernel has device-mapper: the stall benchmark over an ext4 image
# whose every read and write is delayed by DELAY ms ("delay" target over a loop device), mounted
# and given to the program as a pen's volume (no USB).
#   bench/stall-ext4.sh BUILD_DIR [DELAY_MS] [PACKAGES]
# Exits with 77 (skipped) where device-mapper is missing.
set -u
BUILD=$1 DELAY=${2:-300} PACKAGES=${3:-20}
BENCH="$BUILD/bench/penshelf_bench_stall"
if ! dmsetup version >/dev/null 2>&1; then
	echo "skipped: this kernel has no device-mapper (dmsetup cannot open /dev/mapper/control)"
	exit 77
fi
modprobe dm_delay 2>/dev/null
WORK=$(mktemp -d) || exit 1
trap 'umount "$WORK/mnt" 2>/dev/null; dmsetup remove penshelf-slow 2>/dev/null; [ -n "${loop:-}" ] && losetup -d "$loop"; rm -rf "$WORK"' EXIT
"$BENCH" --make-content "$WORK/content" --packages "$PACKAGES" || exit 1
truncate -s 64M "$WORK/pen.img"
mkfs.ext4 -q -F -d "$WORK/content" "$WORK/pen.img" || exit 1
loop=$(losetup --find --show "$WORK/pen.img") || exit 1
dmsetup create penshelf-slow --table "0 $(blockdev --getsz "$loop") delay $loop 0 $DELAY" || exit 1
mkdir -p "$WORK/mnt" && mount /dev/mapper/penshelf-slow "$WORK/mnt" || exit 1
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} "$BENCH" --volume "$WORK/mnt" --packages "$PACKAGES" \
	--cases plug,refresh,select,apply,remove,install
