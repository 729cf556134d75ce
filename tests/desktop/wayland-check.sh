#!/usr/bin/env bash
# The window as a native Wayland client of a real compositor: weston with its headless backend
# on a private socket, the fixture window started with Qt's Wayland platform plugin, and a
# screenshot taken through the compositor (weston-screenshooter).
#
# Usage: wayland-check.sh FIXTURE_WINDOW_PROGRAM [OUTPUT_DIR] [SCALE]
# A whole SCALE is the compositor's output scale, as a desktop set to 200 % has it; any other is
# asked of Qt (QT_SCALE_FACTOR) on an output at 1.
# Checks that Qt chose the Wayland plugin and that the compositor's screenshot shows the window
# with its selected row; the screenshot stays in OUTPUT_DIR (default: a temporary folder, removed).
set -uo pipefail

program=$1
output=${2:-}
scale=${3:-1}
for tool in weston weston-screenshooter; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/test installs weston)"; exit 1; }
done

work=$(mktemp -d)
runtime="$work/runtime"
mkdir -m 700 "$runtime"
compositor=
client=
cleanup() {
    [ -n "$client" ] && kill "$client" 2>/dev/null
    [ -n "$compositor" ] && kill "$compositor" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
if [ -z "$output" ]; then output="$work/shots"; fi
mkdir -p "$output"

# An output of 1600 x 1000 logical pixels at any scale (weston multiplies by its own).
output_scale=1
qt_scale=$scale
if [[ "$scale" =~ ^[0-9]+$ ]]; then
    output_scale=$scale
    qt_scale=1
fi
width=$(awk -v s="$qt_scale" 'BEGIN { printf "%d", 1600 * s }')
height=$(awk -v s="$qt_scale" 'BEGIN { printf "%d", 1000 * s }')
export XDG_RUNTIME_DIR="$runtime"
socket=penshelf-wayland
# --debug lets weston-screenshooter capture; pixman renders without a GPU.
weston --backend=headless-backend.so --use-pixman --debug --socket="$socket" --width=$width --height=$height --scale=$output_scale \
    --no-config >"$work/weston.log" 2>&1 &
compositor=$!
for _ in $(seq 100); do
    [ -S "$runtime/$socket" ] && break
    sleep 0.1
done
[ -S "$runtime/$socket" ] || { cat "$work/weston.log"; echo "FAIL: weston did not start"; exit 1; }

WAYLAND_DISPLAY=$socket QT_QPA_PLATFORM=wayland QT_SCALE_FACTOR=$qt_scale DISPLAY= \
    "$program" --select 自制-001 --quit-after 30000 >"$work/client.log" 2>&1 &
client=$!
for _ in $(seq 200); do
    grep -qx ready "$work/client.log" && break
    sleep 0.1
done
failures=0
grep -qx "platform wayland" "$work/client.log" || { echo "FAIL: Qt did not use its Wayland plugin: $(cat "$work/client.log")"; failures=1; }
grep -qx ready "$work/client.log" || { echo "FAIL: the window did not come up: $(cat "$work/client.log")"; exit 1; }
# The compositor shows the window once the client has committed its first frames; on a busy
# machine that takes a while, so the screenshot is taken again until it shows the window.
shot="$output/wayland-scale$scale.png"
highlighted=0
for _ in $(seq 15); do
    sleep 1
    rm -f "$output"/wayland-screenshot-*.png
    (cd "$output" && WAYLAND_DISPLAY=$socket weston-screenshooter) || { echo "FAIL: weston-screenshooter"; exit 1; }
    mv "$(ls -t "$output"/wayland-screenshot-*.png | head -1)" "$shot"
    # The selected row is painted in the style's highlight colour; the compositor's desktop is not.
    read -r highlighted _ < <(QT_QPA_PLATFORM=offscreen "$program" --count-colour "$shot" "#308cc6" 2>/dev/null)
    [ "${highlighted:-0}" -gt 1000 ] 2>/dev/null && break
done
echo "screenshot $shot: $highlighted pixels of the selected row's colour"
if ! [ "${highlighted:-0}" -gt 1000 ] 2>/dev/null; then
    echo "FAIL: the compositor's screenshot does not show the window's selected row"
    failures=1
fi
[ "$failures" -eq 0 ] && echo "PASS: native Wayland client shown by weston"
exit "$failures"
