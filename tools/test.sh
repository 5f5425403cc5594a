#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test suite.
#   tools/test.sh              normal build in build/, then the browser page and its
#                              tests in headless Chromium (tools/web.sh)
#   tools/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer, in build-asan/
#   tools/test.sh --tsan       ThreadSanitizer, in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
flags=()
case "${1:-}" in
  --sanitize) dir=build-asan; flags=(-DOVITONE_SANITIZE=ON -DOVITONE_BENCH=OFF) ;;
  --tsan) dir=build-tsan; flags=(-DOVITONE_TSAN=ON -DOVITONE_BENCH=OFF) ;;
  "") ;;
  *) echo "usage: $0 [--sanitize|--tsan]" >&2; exit 2 ;;
esac

tools/setup.sh
cmake -S . -B "$dir" -G Ninja "${flags[@]}"
cmake --build "$dir" -j "$(nproc)"
export QT_QPA_PLATFORM=offscreen
# System libraries (PulseAudio's client, GStreamer) keep allocations for the life of
# the process; LeakSanitizer is told to pass over those, and only those.
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
# The browser page shares the core; its tests run once, with the normal build.
if [[ -z "${1:-}" ]]; then
  tools/web.sh
fi
