#!/usr/bin/env bash
# Builds, tests and packages the Windows version on this Debian machine: MinGW-w64 for
# the compiler, Wine to run what it built, NSIS for the installer.
#
#   tools/windows.sh          Qt Core for Windows, the core, service and command-line
#                             programs and their suites, run under Wine (no display).
#   tools/windows.sh --all    also Qt Gui and Widgets, the windows and the demo, every
#                             suite under Wine, the demo started until its main window
#                             shows, the installer ovitone-setup-<version>.exe and the
#                             portable zip (in build-windows/dist/).
#
# Qt for Windows, hidapi and GoogleTest are not in Debian's archive as Windows libraries:
# they are built from Debian's own source packages once, into a cache outside the
# checkout (OVITONE_WINDOWS_CACHE, by default ~/.cache/ovitone-windows), and reused
# while their versions match.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

all=0
case "${1:-}" in
  --all) all=1 ;;
  "") ;;
  *) echo "usage: $0 [--all]" >&2; exit 2 ;;
esac

cache=${OVITONE_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/ovitone-windows}
toolchain=$root/tools/windows/mingw-w64.cmake
build=$root/build-windows
jobs=$(nproc)
mkdir -p "$cache/src"

log() { printf '== %s\n' "$*"; }
elapsed() { printf '%d s' $((SECONDS - $1)); }

sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi

# --- Debian packages -------------------------------------------------------------------
packages=(g++-mingw-w64-x86-64-posix wine64 cmake ninja-build pkg-config dpkg-dev
          qt6-base-dev qt6-base-dev-tools googletest)
[[ $all -eq 1 ]] && packages+=(nsis zip xvfb x11-utils)
missing=()
for p in "${packages[@]}"; do
  [[ $(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true) == "install ok installed" ]] || missing+=("$p")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# --- Source packages -------------------------------------------------------------------
# Source packages come from the archive this machine already uses: every "deb" entry of
# its apt sources gets a "deb-src" twin, in a file of our own.
enable_sources() {
  apt-get indextargets --format '$(IDENTIFIER)' 2>/dev/null | grep -qx Sources && return 0
  local list=/etc/apt/sources.list.d/ovitone-deb-src.sources
  log "enabling source packages in $list"
  {
    for f in /etc/apt/sources.list.d/*.sources; do
      [[ -f $f && $f != "$list" ]] || continue
      # deb822 stanzas: the same stanza with Types: deb-src.
      awk 'BEGIN { RS=""; ORS="\n\n" }
           /Types:[^\n]* deb([ \n]|$)/ && !/Enabled: *no/ {
             gsub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print }' "$f"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
      [[ -f $f ]] || continue
      # one-line entries: "deb [options] uri suite components" becomes a deb822 stanza.
      sed -n 's/^[[:space:]]*deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?//p' "$f" |
        while read -r uri suite components; do
          printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\n' "$uri" "$suite" "$components"
          [[ -f /usr/share/keyrings/debian-archive-keyring.gpg ]] &&
            printf 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n'
          printf '\n'
        done
    done
  } | $sudo tee "$list.tmp" >/dev/null
  $sudo mv "$list.tmp" "$list"
  $sudo apt-get update -q
}

# Unpacks Debian's source of $1 into $cache/src/$1-<version> (Debian's patches applied)
# and prints that folder.
source_of() {
  local package=$1 version folder
  version=$(apt-cache showsrc "$package" 2>/dev/null | sed -n 's/^Version: //p' | head -1)
  if [[ -z $version ]]; then
    enable_sources >&2
    version=$(apt-cache showsrc "$package" | sed -n 's/^Version: //p' | head -1)
  fi
  folder=$cache/src/$package-${version//[:~+]/_}
  if [[ ! -f $folder/.unpacked ]]; then
    log "fetching the source of $package $version" >&2
    rm -rf "$folder" "$folder.tmp"
    mkdir -p "$folder.tmp"
    (cd "$folder.tmp" && apt-get source -q "$package=$version" >&2)
    mv "$(find "$folder.tmp" -mindepth 1 -maxdepth 1 -type d | head -1)" "$folder"
    rm -rf "$folder.tmp"
    touch "$folder/.unpacked"
  fi
  printf '%s\n' "$folder"
}

# --- Libraries for Windows -------------------------------------------------------------
prefix=$cache/prefix
mkdir -p "$prefix"

build_hidapi() {
  local src stamp
  src=$(source_of hidapi)
  stamp=$prefix/.hidapi-$(basename "$src")
  [[ -f $stamp ]] && return 0
  local started=$SECONDS
  log "building hidapi for Windows"
  rm -rf "$cache/build/hidapi"
  cmake -S "$src" -B "$cache/build/hidapi" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF \
    -DHIDAPI_BUILD_HIDTEST=OFF >/dev/null
  cmake --build "$cache/build/hidapi" -j "$jobs" >/dev/null
  cmake --install "$cache/build/hidapi" >/dev/null
  touch "$stamp"
  log "hidapi built in $(elapsed $started)"
}

build_googletest() {
  local version stamp
  version=$(dpkg-query -W -f='${Version}' googletest)
  stamp=$prefix/.googletest-${version//[:~+]/_}
  [[ -f $stamp ]] && return 0
  local started=$SECONDS
  log "building GoogleTest for Windows"
  rm -rf "$cache/build/googletest"
  cmake -S /usr/src/googletest -B "$cache/build/googletest" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF -Dgtest_disable_pthreads=OFF >/dev/null
  cmake --build "$cache/build/googletest" -j "$jobs" >/dev/null
  cmake --install "$cache/build/googletest" >/dev/null
  touch "$stamp"
  log "GoogleTest built in $(elapsed $started)"
}

# Static Qt for Windows from Debian's qtbase source, built with the host's Qt tools (moc,
# rcc, uic of the same version). Core and Test for the command line and its suites; with
# --all also Gui, Widgets and the Windows platform plugin.
qt_prefix=""
build_qt() {
  local src version parts
  src=$(source_of qt6-base)
  version=$(basename "$src")
  parts=core
  [[ $all -eq 1 ]] && parts=gui
  # A build with the windows also serves the command line.
  if [[ $parts == core && -f $cache/qt-$version-gui/.complete ]]; then
    qt_prefix=$cache/qt-$version-gui
    return 0
  fi
  qt_prefix=$cache/qt-$version-$parts
  [[ -f $qt_prefix/.complete ]] && return 0
  # Without OpenGL (which nothing here draws with), Qt 6.4's Windows platform plugin still
  # asks the dynamic OpenGL loader whether it renders in software; that question is only
  # asked where OpenGL is built.
  sed -i '/^static inline bool isSoftwareGl()/,/^}/ s/^#if QT_CONFIG(dynamicgl)$/#if QT_CONFIG(dynamicgl) \&\& QT_CONFIG(opengl)/' \
    "$src/src/plugins/platforms/windows/qwindowswindow.cpp"
  local started=$SECONDS
  local features=(
    -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_xml=OFF
    -DFEATURE_concurrent=OFF -DFEATURE_printsupport=OFF -DFEATURE_opengl=OFF
    -DFEATURE_testlib=ON -DFEATURE_tabletevent=OFF -DFEATURE_vulkan=OFF
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_doubleconversion=OFF
    -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF -DFEATURE_system_libpng=OFF
    -DFEATURE_system_jpeg=OFF -DFEATURE_zstd=OFF -DFEATURE_icu=OFF -DFEATURE_glib=OFF)
  if [[ $parts == core ]]; then
    features+=(-DFEATURE_gui=OFF -DFEATURE_widgets=OFF)
  else
    features+=(-DFEATURE_gui=ON -DFEATURE_widgets=ON -DFEATURE_jpeg=ON -DFEATURE_png=ON)
  fi
  log "building static Qt $version ($parts) for Windows; once, into $qt_prefix"
  # An earlier build cut short is carried on where it stopped.
  rm -rf "$qt_prefix"
  cmake -S "$src" -B "$cache/build/qt-$parts" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$qt_prefix" -DBUILD_SHARED_LIBS=OFF \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DQT_GENERATE_SBOM=OFF "${features[@]}" > "$cache/build/qt-$parts.configure.log"
  cmake --build "$cache/build/qt-$parts" -j "$jobs" > "$cache/build/qt-$parts.build.log"
  cmake --install "$cache/build/qt-$parts" >/dev/null
  touch "$qt_prefix/.complete"
  rm -rf "$cache/build/qt-$parts"
  log "Qt ($parts) built in $(elapsed $started)"
}

started=$SECONDS
build_hidapi
build_googletest
build_qt
log "libraries ready ($(elapsed $started))"
[[ ${OVITONE_WINDOWS_STAGE:-} == libraries ]] && exit 0

# --- The programs and their suites -----------------------------------------------------
variant=core
[[ $all -eq 1 ]] && variant=all
out=$build/$variant
started=$SECONDS
log "cross-building into $out"
export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig PKG_CONFIG_PATH=
gui=OFF
[[ $all -eq 1 ]] && gui=ON
cmake -S "$root" -B "$out" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$qt_prefix;$prefix" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DOVITONE_GUI=$gui -DOVITONE_BENCH=OFF >/dev/null
cmake --build "$out" -j "$jobs"
log "built in $(elapsed $started)"

# --- Wine ------------------------------------------------------------------------------
# A prefix of our own, outside the checkout; one wineserver for the whole run, so that
# each test process starts in milliseconds instead of most of a second.
wine=/usr/lib/wine/wine64
[[ -x $wine ]] || wine=$(command -v wine64 || command -v wine)
export WINEPREFIX=$cache/wine WINEDEBUG=-all WINEARCH=win64
# No Mono or Gecko install prompts: nothing here needs .NET or a browser engine.
export WINEDLLOVERRIDES="mscoree=;mshtml="
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
trap '"$wineserver" -k 2>/dev/null || true' EXIT
mkdir -p "$WINEPREFIX"
"$wineserver" -p
"$wine" wineboot -u </dev/null >/dev/null 2>&1 || true

# The first program with windows starts Wine's desktop process, which would keep that
# program's output pipe, and so ctest, waiting: it is started here, with nothing to hold.
if [[ -f $out/tests/support_tests.exe ]]; then
  "$wine" "$out/tests/support_tests.exe" --gtest_filter='PlatformFiles.*' </dev/null >/dev/null 2>&1 || true
fi

started=$SECONDS
log "running the suites under Wine"
suites_failed=0
# Now and then Wine fails to start a process at all (it exits at once, having printed
# nothing); a test that fails is run once more, and only a second failure counts.
ctest --test-dir "$out" --output-on-failure -j "$jobs" --timeout 300 --repeat until-pass:2 ||
  suites_failed=1
if [[ $suites_failed -eq 0 ]]; then
  log "suites passed under Wine in $(elapsed $started)"
else
  log "SOME SUITES FAILED under Wine ($(elapsed $started)); see above"
fi
# The full run makes the packages all the same, so that they can be looked at, but its
# exit status still says that suites failed.
[[ $all -eq 1 ]] || exit $suites_failed

# --- The demo, the installer, the zip --------------------------------------------------
version=$(sed -n 's/^project(OvitoneUtility VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
dist=$build/dist
stage=$build/stage
rm -rf "$stage" && mkdir -p "$dist"
cmake --install "$out" --prefix "$stage" --strip >/dev/null

log "starting the demo under Wine until its main window shows"
# Wine's desktop process of the suites' run knows no display: a fresh wineserver lets the
# demo's windows reach the virtual one.
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w 2>/dev/null || true
"$wineserver" -p
display=:97
Xvfb $display -screen 0 1300x760x24 >/dev/null 2>&1 &
xvfb=$!
wm=""
trap '"$wineserver" -k 2>/dev/null || true; [[ -n $wm ]] && kill $wm 2>/dev/null; kill $xvfb 2>/dev/null || true' EXIT
sleep 1
# With a window manager (when one is installed) the windows get their frames, as on a
# desktop; the screenshot (OVITONE_WINDOWS_SCREENSHOT=FILE.png) wants them.
if [[ -n ${OVITONE_WINDOWS_SCREENSHOT:-} ]] && command -v openbox >/dev/null; then
  DISPLAY=$display openbox >/dev/null 2>&1 &
  wm=$!
  sleep 1
fi
(cd "$stage" && DISPLAY=$display "$wine" ovitone-demo.exe >"$build/demo.log" 2>&1 &)
shown=0
for _ in $(seq 1 120); do
  if DISPLAY=$display xwininfo -root -tree 2>/dev/null | grep -q '"Orvane Ovitone  Configuration Utility"'; then
    shown=1
    break
  fi
  sleep 1
done
if [[ $shown -eq 1 && -n ${OVITONE_WINDOWS_SCREENSHOT:-} ]]; then
  sleep 3
  # The main window and, beside it rather than over it, the simulated encoder's panel.
  if command -v xdotool >/dev/null; then
    DISPLAY=$display xdotool search --name '^Orvane Ovitone  Configuration Utility$' windowmove 8 30 2>/dev/null || true
    DISPLAY=$display xdotool search --name '^Simulated encoder$' windowmove 918 30 2>/dev/null || true
    sleep 2
  fi
  DISPLAY=$display import -window root "$OVITONE_WINDOWS_SCREENSHOT" 2>/dev/null || true
fi
"$wineserver" -k 2>/dev/null || true
"$wineserver" -p
if [[ $shown -ne 1 ]]; then
  echo "the demo's main window did not show under Wine within 120 s; its output:" >&2
  cat "$build/demo.log" >&2
  echo "the windows on the display:" >&2
  DISPLAY=$display xwininfo -root -tree >&2 2>/dev/null || echo "(no display)" >&2
  exit 1
fi
log "the demo's main window showed"

log "making the installer and the portable zip"
makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$dist/ovitone-setup-$version.exe" \
  "$root/packaging/windows/ovitone.nsi"
rm -f "$dist/ovitone-$version-portable.zip"
(cd "$stage" && zip -q -r -X "$dist/ovitone-$version-portable.zip" .)
ls -l "$dist"
if [[ $suites_failed -ne 0 ]]; then
  echo "the packages are made, but suites failed under Wine (see above)" >&2
  exit 1
fi
