#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it: against the real encoder
# when one is attached, otherwise against the simulated encoder (demo).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target ovitone-status ovitone-status-demo

set +e
build/app/ovitone-status
code=$?
set -e
if [[ $code -eq 2 ]]; then
  echo
  echo "No encoder is attached: starting the demo with the simulated encoder."
  echo
  exec build/app/ovitone-status-demo
fi
exit $code
