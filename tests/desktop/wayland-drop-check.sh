#!/usr/bin/env bash
# A package dragged from another Wayland client and dropped on the window, through a real
# compositor: weston runs on an X server (Xvfb) with its X11 backend, which gives it a pointer
# that xdotool moves; the drag source is a second client (the fixture program's --drag-source
# window, as a file manager would offer the file); the drop must open the install dialog on
# that package.
#
# Usage: wayland-drop-check.sh FIXTURE_WINDOW_PROGRAM [OUTPUT_DIR]
# OUTPUT_DIR keeps the compositor's screenshot before the drag and the install dialog's.
set -uo pipefail

program=$1
output=${2:-}
for tool in Xvfb weston weston-screenshooter xdotool iconv; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/test installs it)"; exit 1; }
done

work=$(mktemp -d)
runtime="$work/runtime"
mkdir -m 700 "$runtime"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
if [ -z "$output" ]; then output="$work/shots"; fi
mkdir -p "$output"

# An X server on a free display number.
exec {displayfd}<> <(:)
Xvfb -displayfd "$displayfd" -screen 0 1600x1000x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
read -r -t 20 -u "$displayfd" number || { cat "$work/xvfb.log"; echo "FAIL: Xvfb did not start"; exit 1; }
export DISPLAY=":$number"

export XDG_RUNTIME_DIR="$runtime"
socket=penshelf-drop
weston --backend=x11-backend.so --use-pixman --debug --socket="$socket" --width=1600 --height=1000 \
    --no-config >"$work/weston.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    [ -S "$runtime/$socket" ] && break
    sleep 0.1
done
[ -S "$runtime/$socket" ] || { cat "$work/weston.log"; echo "FAIL: weston did not start"; exit 1; }

# The package on the computer: a title in GB 18030, as packages carry it.
title="自然拼读第三册"
package="$work/自然拼读.dab"
{ printf '%s' "$title" | iconv -f UTF-8 -t GB18030; printf '\0'; head -c 4000 /dev/zero; } >"$package"

client() { WAYLAND_DISPLAY=$socket QT_QPA_PLATFORM=wayland "$program" "$@"; }
client --select 自制-001 --on-install-dialog "$output/install-dialog.png" --quit-after 60000 >"$work/window.log" 2>&1 &
pids+=($!)
client --drag-source "$package" --quit-after 60000 >"$work/source.log" 2>&1 &
pids+=($!)
for _ in $(seq 200); do
    grep -qx ready "$work/window.log" && grep -qx ready "$work/source.log" && break
    sleep 0.1
done

# Where the compositor put the two windows: the source is magenta, the window's selected row
# is in the highlight colour.
shot="$output/wayland-before-drop.png"
for _ in $(seq 15); do
    sleep 1
    rm -f "$output"/wayland-screenshot-*.png
    (cd "$output" && WAYLAND_DISPLAY=$socket weston-screenshooter) || { echo "FAIL: weston-screenshooter"; exit 1; }
    mv "$(ls -t "$output"/wayland-screenshot-*.png | head -1)" "$shot"
    read -r sources sx sy < <(QT_QPA_PLATFORM=offscreen "$program" --count-colour "$shot" "#ff00ff" 2>/dev/null)
    read -r targets tx ty < <(QT_QPA_PLATFORM=offscreen "$program" --count-colour "$shot" "#308cc6" 2>/dev/null)
    [ "${sources:-0}" -gt 500 ] && [ "${targets:-0}" -gt 500 ] && break
done
if ! [ "${sources:-0}" -gt 500 ] || ! [ "${targets:-0}" -gt 500 ]; then
    echo "FAIL: the screenshot does not show both windows ($sources source, $targets window pixels)"
    exit 1
fi
echo "drag from ($sx, $sy) to ($tx, $ty)"

# Press on the source, move in steps to the window, release. On a busy machine the compositor
# may take the press before it has the pointer over the source: then no drag starts, and the
# gesture is tried again.
for attempt in 1 2 3; do
    xdotool mousemove "$sx" "$sy"
    sleep 1
    xdotool mousemove $((sx + 1)) "$sy"
    sleep 0.5
    xdotool mousedown 1
    for _ in $(seq 30); do
        grep -qx "drag started" "$work/source.log" && break
        sleep 0.1
    done
    if ! grep -qx "drag started" "$work/source.log"; then
        xdotool mouseup 1
        echo "attempt $attempt: no drag started"
        continue
    fi
    for step in $(seq 1 10); do
        xdotool mousemove $((sx + (tx - sx) * step / 10)) $((sy + (ty - sy) * step / 10))
        sleep 0.2
    done
    sleep 0.5
    xdotool mouseup 1
    break
done

for _ in $(seq 150); do
    grep -q "^install dialog: " "$work/window.log" && break
    sleep 0.1
done
cat "$work/source.log" "$work/window.log" | grep -v '^ready$'
failures=0
grep -qx "drag ended: copied" "$work/source.log" || { echo "FAIL: the source's drag was not taken as a copy"; failures=1; }
grep -qxF "install dialog: 安装点读包 | $title" "$work/window.log" ||
    { echo "FAIL: the drop did not open the install dialog on the dragged package"; failures=1; }
[ "$failures" -eq 0 ] && echo "PASS: a package dropped from another Wayland client opens the install dialog"
exit "$failures"
