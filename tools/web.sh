#!/usr/bin/env bash
# The browser page: the core and the twins compiled with Debian's emscripten, the page
# bundled with esbuild into web/dist, and its tests in Debian's Chromium, headless,
# driven by Playwright (no browser is downloaded).
#   tools/web.sh            install what is missing, build, run the browser tests
#   tools/web.sh --build    install what is missing and build web/dist only
#   tools/web.sh --bench    build, then measure the demo's start (bench/web_start.mjs)
set -euo pipefail
cd "$(dirname "$0")/.."

mode=test
case "${1:-}" in
  --build) mode=build ;;
  --bench) mode=bench ;;
  "") ;;
  *) echo "usage: $0 [--build|--bench]" >&2; exit 2 ;;
esac

extra=(emscripten)
[[ $mode == build ]] || extra+=(chromium)
command -v node >/dev/null && command -v npm >/dev/null || extra+=(nodejs npm)
tools/setup.sh "${extra[@]}"

# Debian's emscripten finds Debian's acorn and its other Node modules here.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}
emcmake cmake -S . -B build-web -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
  -DOVITONE_TESTS=OFF -DOVITONE_BENCH=OFF >/dev/null
cmake --build build-web -j "$(nproc)"

cd web
# The lock file pins every package; the machine's npm configuration says where from.
if [[ ! -d node_modules ]] || [[ package-lock.json -nt node_modules ]]; then
  npm ci --no-audit --no-fund
fi
npx tsc --noEmit
node build.mjs --wasm ../build-web/web/wasm --out dist

case $mode in
  build) ;;
  bench) node ../bench/web_start.mjs ;;
  test)
    # The desktop's command line on its simulated encoder reads the page's exported file
    # back, where the native build has made it.
    if [[ -x ../build/demo/ovitone-cli-demo ]]; then
      export OVITONE_CLI_DEMO="$PWD/../build/demo/ovitone-cli-demo"
    fi
    npx playwright test
    ;;
esac
