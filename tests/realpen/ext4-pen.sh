#!/bin/bash
# Runs in the real-stack guest on an ext4 pen (links and FIFOs exist there), started with
#   run-guest.sh --no-mount --image IMG --in-place -- tests/realpen/ext4-pen.sh DRIVER SOURCE
# The harness mounts only vfat, so the pen is mounted here. IMG holds USER/CUSTOM/001.dar (a
# package), 002.dar (a link to a file off the pen) and 003.dar (a FIFO). The scan must list the
# link and the FIFO as unusable without hanging, the install and the renumber must work and
# write nothing through the link; then USER/CUSTOM is made a link and must be refused with the
# reason. Exit status 1 when a check failed.
set -u
DRIVER=$1 SOURCE=$2
MNT="/media/MY PEN"
. /run/pen.env
modprobe ext4
mkdir -p "$MNT"
mount -t ext4 "$REALPEN_DEV" "$MNT" || { echo "mount -t ext4 $REALPEN_DEV failed"; exit 1; }
grep " ext4 " /proc/self/mounts
DIR="$MNT/USER/CUSTOM/"
OUTSIDE=$(readlink "${DIR}002.dar")
before=$(md5sum < "$OUTSIDE")
failures=0
check() { # DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then echo "  ok: $what"; else echo "  FAILED: $what"; failures=$((failures + 1)); fi
}
step() { # shows the command and its output; its exit status is in $status
    echo "\$ penshelf_pendrive ${*}"
    out=$(timeout 60 "$DRIVER" "$@" 2>&1)
    status=$?
    printf '%s\n' "$out" | sed 's/^/  /'
    echo "  (exit $status)"
}

step scan "$DIR"
check "the scan ends" [ $status != 124 ]
check "001 listed with its title" grep -q "^自制-001	Pulled pen book	" <<< "$out"
check "the link listed as unusable" grep -q "^自制-002	（无法使用的条目）	" <<< "$out"
check "the FIFO listed as unusable" grep -q "^自制-003	（无法使用的条目）	" <<< "$out"

step install "$SOURCE" "$DIR" 004 0150
check "install of 004 done" [ "$out" = done ]
check "004.dar is the whole source" cmp -s -i 512 "$SOURCE" "${DIR}004.dar"
step install "$SOURCE" "$DIR" 002 0150
check "install onto the link's name refused" [ "$out" = "此贴号点读包已存在！" ]
step renumber "$DIR" "${DIR}001.dar" D dab 001 005 0123
check "renumber 001 -> 005 done" [ "$out" = done ]
check "005.dar is there, 001.dar gone" [ -f "${DIR}005.dar" -a ! -e "${DIR}001.dar" ]
step renumber "$DIR" "${DIR}002.dar" D dab 002 006 0123
check "renumber of the link refused" [ $status != 0 ]
step renumber "$DIR" "${DIR}002.dar" D dab 002 002 0123
check "start sticker through the link refused" [ $status != 0 ]
step renumber "$DIR" "${DIR}003.dar" D dab 003 007 0123
check "renumber of the FIFO ends and is refused" [ $status != 0 -a $status != 124 ]
check "the link is still a link" [ -L "${DIR}002.dar" ]
check "the file it points at is unchanged" [ "$(md5sum < "$OUTSIDE")" = "$before" ]

echo "USER/CUSTOM made a link to a folder off the pen:"
mv "$MNT/USER/CUSTOM" "$MNT/USER/REAL"
ln -s "$(dirname "$OUTSIDE")" "$MNT/USER/CUSTOM"
ls -l "$MNT/USER/"
listing=$(ls -A "$(dirname "$OUTSIDE")")
step scan "$DIR"
check "the scan gives the reason" grep -q "点读笔上的 USER/CUSTOM 是指向别处的链接，不能使用！" <<< "$out"
step install "$SOURCE" "$DIR" 008 0150
check "the install fails" [ $status != 0 ]
check "nothing written in the folder it points at" [ "$(ls -A "$(dirname "$OUTSIDE")")" = "$listing" ]
umount "$MNT"
echo "$failures checks failed"
[ $failures = 0 ]
