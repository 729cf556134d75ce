#!/bin/bash
# Runs inside the real-stack guest, booted with the pen unplugged and udisks running (the eject
# goes through it): the stall benchmark over a pen whose every read and write of its medium is
# delayed by DELAY ms (device-mapper "delay" between the emulated pen and its image), RUNS times,
# each on a fresh image; then once over the same pen without the delay.
#   bench/stall-realpen.sh BUILD_DIR [RUNS] [DELAY_MS] [PACKAGES]
set -u
BUILD=$1 RUNS=${2:-2} DELAY=${3:-300} PACKAGES=${4:-20}
BENCH="$BUILD/bench/penshelf_bench_stall"
WORK=/run/stall-bench
LUN=/sys/kernel/config/usb_gadget/pen/functions/mass_storage.0/lun.0/file
MOUNT="/media/MY PEN"
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} MTOOLS_SKIP_CHECK=1

mkdir -p "$WORK"
"$BENCH" --make-content "$WORK/content" --packages "$PACKAGES" || exit 1
modprobe -a loop dm_delay || { echo "no loop or dm_delay module"; exit 1; }

fresh_image() {
	rm -f "$WORK/pen.img"
	truncate -s 64M "$WORK/pen.img"
	mkfs.vfat -n "MY PEN" "$WORK/pen.img" >/dev/null || return 1
	mcopy -s -i "$WORK/pen.img" "$WORK/content/SYS" "$WORK/content/USER" ::/
}

# bench_on BACKING: the pen served from BACKING, plugged by the benchmark itself.
bench_on() {
	echo "$1" > "$LUN" || return 1
	timeout 900 "$BENCH" --plug-command pen-plug --mount-point "$MOUNT" --packages "$PACKAGES"
	local status=$?
	pen-unplug --umount >/dev/null 2>&1
	return $status
}

status=0
for run in $(seq "$RUNS"); do
	echo "=== run $run: every I/O of the pen delayed by $DELAY ms"
	fresh_image || exit 1
	loop=$(losetup --find --show "$WORK/pen.img") || exit 1
	dmsetup create "slow$run" --table "0 $(blockdev --getsz "$loop") delay $loop 0 $DELAY" || exit 1
	bench_on "/dev/mapper/slow$run" || status=1
	echo "" > "$LUN" 2>/dev/null
	udevadm settle -t 10
	dmsetup remove --retry "slow$run" || echo "slow$run stays (still in use)"
	losetup -d "$loop"
done

echo "=== the same pen without delay"
fresh_image || exit 1
bench_on "$WORK/pen.img" || status=1
exit $status
