#!/usr/bin/env bash
# Runs the proposal, scan and install benchmarks on the file system that holds DIRECTORY:
#   bench/run-benchmarks.sh BUILD_DIR DIRECTORY [RUNS] [install benchmark options ...]
# As root, cold runs drop the page cache; on vfat they also unmount and mount the pen again with
# its own options, which empties what a drop alone can leave cached.
set -euo pipefail
build=$1
directory=$2
runs=${3:-5}
shift $(($# < 3 ? $# : 3))

fstype=$(findmnt -n -o FSTYPE --target "$directory")
cold=()
if [ "$fstype" = vfat ] && [ "$(id -u)" -eq 0 ]; then
    mountpoint=$(findmnt -n -o TARGET --target "$directory")
    device=$(findmnt -n -o SOURCE --target "$directory")
    options=$(findmnt -n -o OPTIONS --target "$directory")
    cold=(--cold-command "umount '$mountpoint' && mount -t vfat -o '$options' '$device' '$mountpoint'")
fi
echo "== $fstype at $directory, $runs runs${cold:+, cold runs remount the pen}"
"$build/bench/penshelf_bench_proposal" "$directory" --runs "$runs" "${cold[@]}"
"$build/bench/penshelf_bench_scan" "$directory" --runs "$runs" "${cold[@]}"
"$build/bench/penshelf_bench_install" "$directory" --runs "$runs" "${cold[@]}" "$@"
