#!/usr/bin/env bash
# Takes the README's screenshots of the demo under a virtual X server.
# Needs: xvfb openbox xdotool imagemagick (tools/setup.sh xvfb openbox xdotool imagemagick).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh xvfb openbox xdotool imagemagick
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target ovitone ovitone-demo >/dev/null

export DISPLAY=:97
Xvfb "$DISPLAY" -screen 0 1280x800x24 >/dev/null 2>&1 &
xvfb=$!
trap 'kill $(jobs -p) 2>/dev/null || true' EXIT
sleep 1
openbox >/dev/null 2>&1 &
sleep 1
export XDG_DATA_HOME=$(mktemp -d)
out=docs

# Grabs the window whose title is $1, with its frame, into $2.
grab() {
  local id
  id=$(xdotool search --sync --onlyvisible --name "$1" | tail -n 1)
  sleep 0.5
  import -frame -window "$id" "$2"
}

# Clicks at a point of a window's client area.
click() {
  eval "$(xdotool getwindowgeometry --shell "$1")"
  xdotool mousemove $((X + $2)) $((Y + $3)) click 1
}

build/demo/ovitone-demo >/dev/null 2>&1 &
sleep 4.5
grab "Orvane Ovitone  Configuration Utility" "$out/main-window.png"
grab "Simulated encoder" "$out/demo-panel.png"
main=$(xdotool search --onlyvisible --name "Orvane Ovitone  Configuration Utility" | tail -n 1)

# A firmware upgrade of the simulated encoder, to its end.
click "$main" 131 391   # "Update Ovitone Firmware"
sleep 1
xdotool key Return      # Yes
sleep 2
upgrade=$(xdotool search --sync --onlyvisible --name "Orvane Ovitone  Firmware Upgrade" | tail -n 1)
click "$upgrade" 191 33  # "Browse"
sleep 2
xdotool type --delay 10 "$PWD/resources/firmware/sample_firmware_v1.3.0.txt"
xdotool key Return
sleep 1
click "$upgrade" 86 123  # "Upgrade Firmware"
sleep 14
grab "Orvane Ovitone  Firmware Upgrade" "$out/firmware-upgrade.png"
xdotool windowclose "$upgrade" 2>/dev/null || true
sleep 0.5
xdotool key Return      # "Please Click on Scan for."
sleep 0.5
grab "Orvane Ovitone  Configuration Utility" "$out/main-window-after-upgrade.png"
xdotool mousemove --window "$main" 58 12 click 1
sleep 0.5
xdotool key Down Return
grab "About Ovitone  Configuration Utility" "$out/about-window.png"
pkill -f build/demo/ovitone-demo || true
sleep 0.5

# Without an encoder: the message, then the window in its "not connected" state.
build/app/ovitone >/dev/null 2>&1 &
sleep 4.5
grab "^Orvane Ovitone $" "$out/not-connected-message.png"
xdotool key Return
sleep 0.5
grab "Orvane Ovitone  Configuration Utility" "$out/main-window-not-connected.png"
echo "Screenshots written to $out/"
