#!/usr/bin/env bash
# Starts the real GUI under Xvfb inside a camera lab (default cameras) and saves PNGs of the main window with the
# lab's cameras listed (before and after a row is clicked) and of the About box, then exits the GUI through its
# Exit button and checks that it ended with status 0. Root only (the lab makes network namespaces).
# Usage: tools/screenshots/main-window.sh [build directory] [output directory]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$(realpath -m "${1:-$root/build}")"
out="$(realpath -m "${2:-$build/screenshots}")"
lab="$root/tools/lab/lab"

[ "$(id -u)" -eq 0 ] || { echo "main-window.sh: needs root (the camera lab makes network namespaces)" >&2; exit 1; }
for tool in Xvfb xdotool import; do
    command -v "$tool" >/dev/null || { echo "main-window.sh: $tool is missing (scripts/bootstrap installs it)" >&2; exit 1; }
done

export LAB_PREFIX="${LAB_PREFIX:-gshot$$}"
cmake --build "$build" -j2 --target camera-setup
mkdir -p "$out"
work="$(mktemp -d)"
xvfb_pid="" gui_pid=""
cleanup() {
    [ -n "$gui_pid" ] && kill "$gui_pid" 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    "$lab" down >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

"$lab" up
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "main-window.sh: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(cat "$work/display")"
mkdir -m 700 "$work/runtime"

# The X socket is a file, which the pc namespace reaches as well.
"$lab" exec pc env DISPLAY="$DISPLAY" QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work/runtime" \
    "$build/src/app/camera-setup" >"$work/gui.log" 2>&1 &
gui_pid=$!

window=$(timeout 15 xdotool search --sync --name '^Davuvive Zazezo$' | head -1)
# A camera without XRM shows up only when it asks for an address again.
"$lab" boot wired >/dev/null
sleep 8  # the start-up search (5 s) and the DHCP exchange of the rebooted camera
import -window "$window" "$out/main-window.png"

# The first row of the list: Mac Address column, below the header.
xdotool mousemove --window "$window" 240 265 click 1
sleep 0.5
import -window "$window" "$out/main-window-selected.png"

xdotool mousemove --window "$window" 81 445 click 1  # About (1008)
about=$(timeout 10 xdotool search --sync --name '^About Davuvive Zazezo$' | head -1)
sleep 0.5
import -window "$about" "$out/about.png"
xdotool mousemove --window "$about" 434 375 click 1  # OK
sleep 0.5

xdotool mousemove --window "$window" 81 390 click 1  # Exit (1006)
status=0
for _ in $(seq 50); do kill -0 "$gui_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$gui_pid" 2>/dev/null; then
    echo "main-window.sh: the GUI did not end after Exit" >&2
    status=1
else
    wait "$gui_pid" || status=$?
    gui_pid=""
    echo "main-window.sh: GUI exit status $status"
fi
ls -l "$out"/main-window.png "$out"/main-window-selected.png "$out"/about.png
exit "$status"
