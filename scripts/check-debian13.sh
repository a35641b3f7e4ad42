#!/usr/bin/env bash
# Builds the native core, its tests and the broker plugin inside a Debian 13 (trixie) root and runs
# the native tests there, against trixie's own Paho, cjose, jansson, OpenSSL, GoogleTest and mosquitto.
# The Debian packages come from the project's own list (scripts/setup.sh --debian-only).
#
#   scripts/check-debian13.sh [ROOT]     ROOT defaults to /work/deb13; needs root and debootstrap
#
# The root is made once with debootstrap and reused; the checkout's files (committed or not, never
# build/ or .venv) are copied into ROOT/src afresh each run. Not part of `make test`: the first run
# downloads a few hundred MB and builds everything once more.
set -euo pipefail
cd "$(dirname "$0")/.."
root=${1:-/work/deb13}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
jobs=${JOBS:-2}

if [ "$(id -u)" -ne 0 ]; then
  echo "check-debian13: needs root (debootstrap and chroot)" >&2
  exit 1
fi
if [ ! -x "$root/usr/bin/apt-get" ]; then
  echo "check-debian13: making a trixie root in $root"
  debootstrap --variant=minbase trixie "$root" "$mirror"
fi
grep -q '^VERSION_ID="13"' "$root/etc/os-release" || {
  echo "check-debian13: $root is not Debian 13" >&2
  exit 1
}
cp /etc/resolv.conf "$root/etc/resolv.conf"

mounted=()
cleanup() {
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[$i]}" || true; done
}
trap cleanup EXIT
for fs in proc sys dev dev/pts; do
  mkdir -p "$root/$fs"
  mount --bind "/$fs" "$root/$fs"
  mounted+=("$root/$fs")
done

rm -rf "$root/src"
mkdir -p "$root/src"
git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf - | tar -xf - -C "$root/src"

chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
  JOBS="$jobs" /bin/bash -euo pipefail -c '
    cd /src
    scripts/setup.sh --debian-only
    echo "check-debian13: $(. /etc/os-release; echo "$PRETTY_NAME"), $(dpkg-query -W -f="Paho \${Version}, " libpaho-mqtt-dev)$(dpkg-query -W -f="cjose \${Version}, " libcjose-dev)$(dpkg-query -W -f="GoogleTest \${Version}, " libgtest-dev)$(dpkg-query -W -f="mosquitto \${Version}, " mosquitto)$(cmake --version | head -n 1)"
    cmake -S . -B build/native -DMOVRA_BUILD_TESTS=ON -DMOVRA_BUILD_PYTHON=OFF \
      -DMOVRA_BUILD_BROKER_PLUGIN=ON -DMOVRA_BUILD_BENCH=ON -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
    cmake --build build/native -j "$JOBS"
    cd build/native
    ctest --output-on-failure -j "$JOBS"
  '
echo "check-debian13: native build and tests passed on Debian 13"
