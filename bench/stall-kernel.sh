#!/bin/bash
# The stall benchmark on the real kernel: boots the real-kernel guest (tests/kernel/boot.sh) with
# udisks and runs bench/stall-guest.py in it: RUNS times over a pen whose every read and write of
# its medium is delayed by DELAY_MS (device-mapper `delay` between the pen's image and its USB
# gadget), each on a fresh image, then once over the same pen undelayed.
#   bench/stall-kernel.sh [RUNS] [DELAY_MS] [PACKAGES]        default: 2 300 20
# BUILD_DIR names the build to measure (default: build/ of this repository; a build dir of
# another checkout measures that checkout's program). The benchmark is built there if needed.
# The output and the guest's log go to BUILD_DIR/stall-evidence/. Runs as root.
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
RUNS=${1:-2} DELAY=${2:-300} PACKAGES=${3:-20}
source "$ROOT/scripts/common.sh"
set +e
BUILD=$(readlink -f "$BUILD_DIR")
if [ "$(id -u)" -ne 0 ]; then
    echo "bench/stall-kernel.sh runs as root (qemu shares this machine's files with their owners)" >&2
    exit 1
fi
# What the guest runs comes from this machine.
RUN_PACKAGES+=(qemu-system-x86 busybox-static kmod udev dosfstools mtools dmsetup udisks2 polkitd dbus
    libglib2.0-bin)
ensure_packages run || exit 1
if [ ! -f "$BUILD/build.ninja" ]; then
    launcher=()
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null || exit 1
fi
cmake --build "$BUILD" --target penshelf_bench_stall --parallel "$(nproc)" || exit 1

EVIDENCE=$BUILD/stall-evidence
rm -rf "$EVIDENCE"
mkdir -p "$EVIDENCE"
"$ROOT/tests/kernel/boot.sh" --udisks --share "$EVIDENCE" --log "$EVIDENCE/guest.log" --timeout 5400 \
    -- /usr/bin/python3 "$ROOT/bench/stall-guest.py" "$BUILD/bench/penshelf_bench_stall" /run/stall-bench \
    "$RUNS" "$DELAY" "$PACKAGES" 2>&1 | tee "$EVIDENCE/output.log"
status=${PIPESTATUS[0]}
echo "output: $EVIDENCE/output.log, the guest's console and kernel log: $EVIDENCE/guest.log"
exit "$status"
