#!/usr/bin/env bash
# Builds the Debian package with CPack into a temporary folder and checks it with
# lintian, which must find no error and no warning.
# Usage: tests/package_lintian.sh BUILD_DIR [CPACK]
# Exits 77, which ctest reports as skipped, when lintian or dpkg-shlibdeps is missing.
set -euo pipefail
build=$(cd "$1" && pwd)
cpack=${2:-cpack}

for tool in lintian dpkg-shlibdeps dpkg-deb; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIPPED: $tool is not installed (tools/setup.sh installs lintian and dpkg-dev)"
    exit 77
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/ovitone-lintian.XXXXXX")
trap 'rm -rf "$work"' EXIT
if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "FAIL: cpack -G DEB failed"
  exit 1
fi
deb=$(ls "$work"/*.deb)

# The linked libraries come from dpkg-shlibdeps, GStreamer's plugins are named by hand.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for want in libc6 libhidapi-hidraw0 libqt6multimedia6 gstreamer1.0-plugins-base gstreamer1.0-plugins-good; do
  if [[ ", $depends," != *", $want"[\ ,]* ]]; then
    echo "FAIL: Depends lacks $want"
    exit 1
  fi
done

lintian --fail-on error,warning --tag-display-limit 0 "$deb"
echo "lintian: no errors or warnings in $(basename "$deb")"
