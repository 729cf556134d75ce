#!/bin/bash
# Boots Debian's kernel in qemu on this machine's own root file system and runs one command in
# the guest, with the USB device side (dummy_hcd, configfs gadgets), udev and, on request, a
# system bus with udisks2. The guest plugs its pens itself (tests/kernel/guest/kpen.py).
#
#   tests/kernel/boot.sh [options] -- CMD [ARGS...]
#
#   --pens N        USB device controllers in the guest (dummy_hcd num=N), default 1
#   --udisks        a system D-Bus with udisksd (polkitd by activation) before CMD starts
#   --share DIR     share host DIR read-write at the same path (repeatable); the rest of the
#                   host is read-only, and writes elsewhere stay in the guest
#   --timeout SEC   stop the guest after SEC seconds (default 900): exit status 124
#   --mem MIB       guest memory (default 2048)
#   --log FILE      the guest's console and set-up log go to FILE (default: discarded)
#   -v              the console on stderr as well
#
# CMD runs as root in the host's current folder, with stdin from /dev/null; its stdout and
# stderr come out on this script's stdout. Exit status: CMD's, or 124 timeout, 125 the guest's
# set-up failed, 126 the guest could not be booted (the reason is printed).
# The kernel package and the initramfs are cached in $PENSHELF_KERNEL_CACHE (default
# build/kernel-cache in the repository). KVM is used where /dev/kvm exists and a probe boot
# under it works; otherwise qemu emulates the processor (TCG).
set -uo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
CACHE=${PENSHELF_KERNEL_CACHE:-$ROOT/build/kernel-cache}
PENS=1 UDISKS=0 SHARES=() TIMEOUT=900 MEM=2048 LOG=/dev/null VERBOSE=0

say() { echo "[boot] $*" >&2; }
cannot() { say "cannot boot the guest: $*"; exit 126; }

while [ $# -gt 0 ]; do
    case "$1" in
    --pens) PENS=$2; shift 2 ;;
    --udisks) UDISKS=1; shift ;;
    --share) SHARES+=("$(readlink -f "$2")"); shift 2 ;;
    --timeout) TIMEOUT=$2; shift 2 ;;
    --mem) MEM=$2; shift 2 ;;
    --log) LOG=$2; shift 2 ;;
    -v) VERBOSE=1; shift ;;
    -h | --help) sed -n '2,/^set -uo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'; exit 0 ;;
    --) shift; break ;;
    *) break ;;
    esac
done
[ $# -gt 0 ] || { say "no command (see --help)"; exit 126; }

[ "$(id -u)" = 0 ] || cannot "it must run as root (the guest sees the host's files with their owners)"
for tool in qemu-system-x86_64 busybox dpkg-deb depmod modprobe apt-get; do
    command -v "$tool" >/dev/null || cannot "$tool is missing"
done
[ -x /usr/lib/systemd/systemd-udevd ] || [ -x /lib/systemd/systemd-udevd ] || cannot "systemd-udevd is missing"

# --- kernel and initramfs, once per cache -----------------------------------------------------
mkdir -p "$CACHE/deb"
exec 9>"$CACHE/.lock"
flock 9
KDEB=$(ls -1 "$CACHE"/deb/linux-image-*-amd64_*_amd64.deb 2>/dev/null | tail -n 1)
if [ -z "$KDEB" ]; then
    # The machine's own release's kernel, as its metapackage names it.
    package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
    [ -n "$package" ] || cannot "apt-cache does not know linux-image-amd64 (apt-get update?)"
    say "downloading $package"
    (cd "$CACHE/deb" && apt-get download "$package" >/dev/null 2>&1)
    KDEB=$(ls -1 "$CACHE"/deb/linux-image-*-amd64_*_amd64.deb 2>/dev/null | tail -n 1)
    [ -n "$KDEB" ] || cannot "apt-get download $package failed"
fi
KTREE=$CACHE/kernel
if [ ! -e "$KTREE/.version" ] || [ "$KDEB" -nt "$KTREE/.version" ]; then
    say "unpacking $(basename "$KDEB")"
    rm -rf "$KTREE"
    mkdir -p "$KTREE"
    dpkg-deb -x "$KDEB" "$KTREE" || cannot "dpkg-deb -x $KDEB failed"
    version=$(ls "$KTREE/lib/modules" | head -n 1)
    # The package ships no modules.dep; modprobe and udev in the guest need one.
    depmod -b "$KTREE" "$version" || cannot "depmod failed"
    # The ELF inside the compressed image boots directly (qemu's PVH entry): no BIOS real-mode
    # start and no decompression, each slow when the processor is emulated.
    /usr/bin/python3 - "$KTREE/boot/vmlinuz-$version" "$KTREE/boot/vmlinux-$version" <<'PY' || true
import lzma, sys
data = open(sys.argv[1], 'rb').read()
start = data.find(b'\xfd7zXZ\x00')
if start >= 0:
    elf = lzma.LZMADecompressor().decompress(data[start:])
    if elf[:4] == b'\x7fELF':
        open(sys.argv[2], 'wb').write(elf)
PY
    echo "$version" > "$KTREE/.version"
fi
KVER=$(cat "$KTREE/.version")
KERNEL=$KTREE/boot/vmlinux-$KVER
[ -s "$KERNEL" ] || KERNEL=$KTREE/boot/vmlinuz-$KVER
INITRD=$CACHE/initramfs.cpio.gz
if [ ! -s "$INITRD" ] || [ "$INITRD" -ot "$HERE/guest/initramfs-init" ] || [ "$INITRD" -ot "$KTREE/.version" ] \
    || [ "$INITRD" -ot /bin/busybox ]; then
    say "building the initramfs"
    staging=$(mktemp -d "$CACHE/initramfs.XXXXXX")
    mkdir -p "$staging"/{bin,dev,proc,sys,modules,lower,rw,root}
    cp /bin/busybox "$staging/bin/busybox"
    cp "$HERE/guest/initramfs-init" "$staging/init"
    chmod 755 "$staging/init"
    # Only what mounts the host's root; everything else loads in the guest from the module tree.
    for module in virtio_pci 9pnet_virtio 9p overlay; do
        modprobe -d "$KTREE" -S "$KVER" --show-depends "$module"
    done | awk '$1 == "insmod" && !seen[$2]++ { print $2 }' | while read -r ko; do
        cp "$ko" "$staging/modules/"
        basename "$ko" >> "$staging/modules/order"
    done
    (cd "$staging" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1) > "$INITRD.tmp" && mv "$INITRD.tmp" "$INITRD"
    rm -rf "$staging"
    [ -s "$INITRD" ] || cannot "the initramfs could not be built"
fi

# --- processor: KVM only where a probe boot under it reaches the power-off --------------------
ACCEL=(-accel tcg,thread=multi -cpu max)
ACCEL_NAME=tcg
if [ -r /dev/kvm ] && [ -w /dev/kvm ]; then
    key="$(uname -r) $KVER"
    if [ "$(sed -n 1p "$CACHE/kvm-probe" 2>/dev/null)" != "$key" ]; then
        result=no
        probe=$CACHE/kvm-probe.log
        timeout -k 2 20 qemu-system-x86_64 -accel kvm -cpu host -M pc -m 256 -nodefaults -no-user-config \
            -display none -serial "file:$probe" -no-reboot -kernel "$KERNEL" -initrd "$INITRD" \
            -append "console=ttyS0 panic=-1 rdinit=/bin/busybox -- poweroff -f" </dev/null >/dev/null 2>&1
        grep -q 'reboot: Power down' "$probe" 2>/dev/null && result=yes
        printf '%s\n%s\n' "$key" "$result" > "$CACHE/kvm-probe"
    fi
    [ "$(sed -n 2p "$CACHE/kvm-probe")" = yes ] && ACCEL=(-enable-kvm -cpu host) ACCEL_NAME=kvm
fi
flock -u 9

# --- the job: settings and command, shared with the guest -------------------------------------
mkdir -p "$CACHE/jobs"
JOB=$(mktemp -d "$CACHE/jobs/job.XXXXXX")
trap 'rm -rf "$JOB"' EXIT
q() { printf '%q' "$1"; }
{
    echo "KVER=$(q "$KVER")"
    echo "MODULES=$(q "$KTREE/lib/modules/$KVER")"
    echo "STAGE2=$(q "$HERE/guest/init.sh")"
    echo "PENS=$PENS UDISKS=$UDISKS"
    echo "WORKDIR=$(q "$PWD")"
    echo "NSHARES=${#SHARES[@]}"
    for i in "${!SHARES[@]}"; do echo "SHARE_$i=$(q "${SHARES[$i]}")"; done
} > "$JOB/job.env"
{ echo '#!/bin/bash'; printf '%q ' "$@"; echo; } > "$JOB/cmd.sh"

FS=(-fsdev "local,id=root,path=/,security_model=none,readonly=on,multidevs=remap"
    -device "virtio-9p-pci,fsdev=root,mount_tag=hostroot"
    -fsdev "local,id=job,path=$JOB,security_model=none,multidevs=remap"
    -device "virtio-9p-pci,fsdev=job,mount_tag=job")
for i in "${!SHARES[@]}"; do
    [ -d "${SHARES[$i]}" ] || cannot "--share ${SHARES[$i]}: no such folder"
    case "${SHARES[$i]}" in *,*) cannot "--share ${SHARES[$i]}: a comma in the path" ;; esac
    FS+=(-fsdev "local,id=share$i,path=${SHARES[$i]},security_model=none,multidevs=remap"
        -device "virtio-9p-pci,fsdev=share$i,mount_tag=share$i")
done
APPEND="console=ttyS0,115200 panic=-1 loglevel=4 rdinit=/init tsc=reliable no_timer_check"
APPEND+=" i8042.noaux=1 i8042.nokbd=1 usb-storage.delay_use=0"
# Drivers udev would load for the emulated PC that no test needs.
APPEND+=" modprobe.blacklist=kvm,kvm_amd,kvm_intel,pcspkr,floppy,parport_pc,ppdev,ata_piix,ata_generic,serio_raw"
BIOS=()
[ -e /usr/share/qemu/qboot.rom ] && BIOS=(-bios /usr/share/qemu/qboot.rom)

# The console goes to the log; CMD's output is the part between the guest's two markers, passed
# on line by line as it comes.
command_output() {
    local line inside=0
    while IFS= read -r line; do
        line=${line%$'\r'}
        [ "$VERBOSE" = 1 ] && printf '%s\n' "$line" >&2
        case "$line" in
        *@@GUEST@@\ BEGIN*) inside=1 ;;
        *@@GUEST@@\ END*) inside=0 ;;
        *) [ "$inside" = 1 ] && printf '%s\n' "$line" ;;
        esac
    done
}
started=$(date +%s.%N)
timeout -k 5 "$TIMEOUT" qemu-system-x86_64 "${ACCEL[@]}" -M pc -m "$MEM" -smp 2 -nodefaults -no-user-config \
    -nographic -serial stdio "${BIOS[@]}" -no-reboot -kernel "$KERNEL" -initrd "$INITRD" -append "$APPEND" \
    "${FS[@]}" </dev/null 2>"$JOB/qemu.stderr" | tee "$JOB/console" | command_output
QRC=${PIPESTATUS[0]}
elapsed=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
[ "$LOG" = /dev/null ] || { tr -d '\r' < "$JOB/console"; cat "$JOB/guest.log" "$JOB/qemu.stderr"; } > "$LOG" 2>/dev/null

if [ -s "$JOB/status" ]; then
    RC=$(cat "$JOB/status")
elif [ "$QRC" = 124 ] || [ "$QRC" = 137 ]; then
    say "the guest did not finish within ${TIMEOUT} s"
    RC=124
elif [ -e "$JOB/setup-failed" ]; then
    say "the guest's set-up failed: $(cat "$JOB/setup-failed")"
    RC=125
else
    say "the guest stopped without a result (qemu exit status $QRC): $(tail -n 3 "$JOB/qemu.stderr" 2>/dev/null)"
    tail -n 15 "$JOB/console" | sed 's/^/[boot]   /' >&2
    RC=126
fi
say "accel=$ACCEL_NAME kernel=$KVER pens=$PENS udisks=$UDISKS ${elapsed}s exit=$RC"
exit "$RC"
