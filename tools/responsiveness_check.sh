#!/usr/bin/env bash
# Checks by hand that the main window keeps answering while the encoder does not:
# starts the demo under a virtual X server with a window manager, switches on the
# simulated encoder's "No answer" fault, clicks "Save Changes" (which then waits out its
# 5 s time-out) and meanwhile sends the main window a window manager's _NET_WM_PING
# every 0.4 s, as GNOME and KDE do before offering "Force Quit". Takes a screenshot
# half-way through the wait into build/responsive-wait.png.
# Needs: xvfb openbox xdotool imagemagick libx11-dev.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh xvfb openbox xdotool imagemagick libx11-dev
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target ovitone-demo >/dev/null
cc -O2 -o build/wm_ping tools/wm_ping.c -lX11

export DISPLAY=:96
Xvfb "$DISPLAY" -screen 0 1400x900x24 >/dev/null 2>&1 &
trap 'kill $(jobs -p) 2>/dev/null || true' EXIT
sleep 1
openbox >/dev/null 2>&1 &
sleep 1
XDG_DATA_HOME=$(mktemp -d) build/demo/ovitone-demo >/dev/null 2>&1 &
main=$(xdotool search --sync --onlyvisible --name "Orvane Ovitone  Configuration Utility" | tail -n 1)
panel=$(xdotool search --sync --onlyvisible --name "Simulated encoder" | tail -n 1)
sleep 4
echo "idle:          $(build/wm_ping "$main" 500)"
# Clicks at a point of a window's client area.
click() {
  eval "$(xdotool getwindowgeometry --shell "$1")"
  xdotool mousemove $((X + $2)) $((Y + $3)) click 1
}
click "$panel" 34 502   # the "No answer" fault
sleep 0.5
click "$main" 735 304   # "Save Changes"
for i in 1 2 3 4 5 6 7 8; do
  echo "waiting, ping $i: $(build/wm_ping "$main" 500 || true)"
  [ "$i" = 4 ] && import -window root build/responsive-wait.png
  sleep 0.4
done
sleep 2
if xdotool search --onlyvisible --name "^Orvane Ovitone $" >/dev/null; then
  echo "then: the time-out's message is shown"
fi
