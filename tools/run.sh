#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it: against the real encoder
# when one is attached, otherwise the demo with the simulated encoder and its panel.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target ovitone ovitone-demo ovitone-cli ovitone-cli-demo

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "No graphical display here; showing the encoder's status on the console instead."
  if build/cli/ovitone-cli status; then exit 0; fi
  echo
  echo "No encoder answered: the simulated encoder's status follows (build/demo/ovitone-cli-demo)."
  exec build/demo/ovitone-cli-demo status
fi

set +e
messages=$(build/cli/ovitone-cli status 2>&1 >/dev/null)
found=$?
set -e
# 0: the encoder answered; 4: it is there but refused the status read; 3 with the
# access advice: it is there but this user may not open it (the program says how to fix).
if [[ $found -eq 0 || $found -eq 4 || $messages == *"may not open it"* ]]; then
  echo "Starting the Ovitone configuration utility with the attached encoder."
  exec build/app/ovitone
fi
echo "No encoder is attached: starting the demo, in which a simulated encoder stands in for"
echo "the hardware. The \"Simulated encoder\" window beside it drives the simulated device."
exec build/demo/ovitone-demo
