#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it: against the real encoder
# when one is attached, otherwise the demo with the simulated encoder.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target ovitone ovitone-demo ovitone-status ovitone-status-demo

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "No graphical display here; showing the encoder's status on the console instead."
  if build/app/ovitone-status; then exit 0; fi
  echo
  echo "No encoder is attached: the simulated encoder's status follows."
  exec build/app/ovitone-status-demo
fi

set +e
build/app/ovitone-status >/dev/null
found=$?
set -e
if [[ $found -eq 0 || $found -eq 3 ]]; then
  echo "Starting the Ovitone configuration utility with the attached encoder."
  exec build/app/ovitone
fi
echo "No encoder is attached: starting the demo, in which a simulated encoder stands in for the hardware."
exec build/app/ovitone-demo
