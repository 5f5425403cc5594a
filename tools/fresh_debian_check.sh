#!/usr/bin/env bash
# Checks the project on fresh Debian 12 systems, as a newcomer and a user would meet it:
#   1. a minimal Debian 12 in a folder: the README's test command from a clean clone
#      (installs what is missing, builds, runs every test), then the Debian package;
#   2. a second minimal Debian 12: the package installed with apt, which must bring every
#      run-time dependency, and the installed command line run against the simulated
#      encoder (status, then a firmware upgrade with the shipped sample image).
# Needs root, debootstrap and Debian's archive. Usage: tools/fresh_debian_check.sh [WORKDIR]
set -euo pipefail
cd "$(dirname "$0")/.."
[[ $(id -u) -eq 0 ]] || { echo "Run as root (chroot and mounts)." >&2; exit 1; }
command -v debootstrap >/dev/null || apt-get install -y -q debootstrap
work=${1:-$(mktemp -d /var/tmp/ovitone-fresh.XXXXXX)}
# The Debian archive this machine's apt already uses (a local mirror or proxy works the
# same way); the project names no archive of its own.
mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Identifier: Packages' |
         awk '$2 == "bookworm" && $3 == "main" { print $1; exit }')
[[ -n $mirror ]] || { echo "apt on this machine has no source for bookworm main." >&2; exit 1; }

mounted=()
enter() {  # mounts what apt and the programs need inside the system at $1
  mount -t proc proc "$1/proc" && mounted+=("$1/proc")
  mount --rbind /dev "$1/dev" && mount --make-rslave "$1/dev" && mounted+=("$1/dev")
  cp /etc/resolv.conf "$1/etc/resolv.conf"
  # The same package sources and proxy settings as this machine.
  cp -a /etc/apt/sources.list.d/. "$1/etc/apt/sources.list.d/" 2>/dev/null || true
  [[ -f /etc/apt/sources.list ]] && cp /etc/apt/sources.list "$1/etc/apt/sources.list"
  for conf in /etc/apt/apt.conf.d/*; do
    grep -qi proxy "$conf" 2>/dev/null && cp "$conf" "$1/etc/apt/apt.conf.d/"
  done
  find "$1/etc/apt/sources.list.d" -name '*.disabled*' -delete 2>/dev/null || true
}
cleanup() { for m in "${mounted[@]}"; do umount -R "$m" 2>/dev/null || true; done; }
trap cleanup EXIT

echo "== building on a fresh Debian 12 in $work/build-system"
debootstrap --variant=minbase bookworm "$work/build-system" "$mirror" >/dev/null
enter "$work/build-system"
git clone -q "$PWD" "$work/build-system/src"
chroot "$work/build-system" /bin/bash -c "cd /src && tools/test.sh && cd build && cpack -G DEB"
deb=$(ls "$work"/build-system/src/build/ovitone-utility_*_amd64.deb)

echo "== installing $(basename "$deb") on a fresh Debian 12 in $work/user-system"
debootstrap --variant=minbase bookworm "$work/user-system" "$mirror" >/dev/null
enter "$work/user-system"
cp "$deb" "$work/user-system/tmp/"
chroot "$work/user-system" /bin/bash -c "
  set -e
  apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q /tmp/$(basename "$deb") >/dev/null
  test -f /lib/udev/rules.d/70-ovitone-hid.rules
  ovitone-cli-demo status
  ovitone-cli-demo upgrade-firmware /usr/share/ovitone-utility/sample_firmware_v1.3.0.txt
  set +e; ovitone-cli status; test \$? -eq 3"
echo "== fresh Debian 12 check passed ($work)"
