#!/usr/bin/env bash
# Builds the native core, its tests and the broker plugin inside a Debian root and runs the native
# tests there, against that release's own Paho, cjose, jansson, OpenSSL, GoogleTest and mosquitto;
# then measures the transport layer's figures there (bench/native/connect_rate). The Debian
# packages come from the project's own list (scripts/setup.sh --debian-only).
#
#   scripts/check-debian.sh 13|sid [ROOT]    ROOT defaults to /work/deb13 or /work/debsid
#
# 13 is trixie (Paho 1.3.14), sid is Debian's unstable suite (Paho 1.3.16 at the time of writing).
# Needs root (debootstrap, chroot); installs debootstrap from Debian's packages when it is missing.
# The root is made once with debootstrap and reused; the checkout's files (committed or not, never
# build/ or .venv) are copied into ROOT/src afresh each run. Not part of `make test`: the first run
# downloads a few hundred MB and builds everything once more. JOBS (default 1) limits the build and
# the tests inside the root.
set -euo pipefail
cd "$(dirname "$0")/.."
release=${1:-}
case "$release" in
  13) suite=trixie default_root=/work/deb13 ;;
  sid) suite=sid default_root=/work/debsid ;;
  *)
    echo "usage: scripts/check-debian.sh 13|sid [ROOT]" >&2
    exit 2
    ;;
esac
root=${2:-$default_root}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
jobs=${JOBS:-1}
me="check-debian $release"

if [ "$(id -u)" -ne 0 ]; then
  echo "$me: needs root (debootstrap and chroot)" >&2
  exit 1
fi
if ! command -v debootstrap >/dev/null 2>&1; then
  echo "$me: installing debootstrap"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends debootstrap
fi
if [ ! -x "$root/usr/bin/apt-get" ]; then
  echo "$me: making a $suite root in $root"
  debootstrap --variant=minbase "$suite" "$root" "$mirror"
fi
if [ "$release" = 13 ]; then
  grep -q '^VERSION_ID="13"' "$root/etc/os-release"
else
  grep -q 'sid' "$root/etc/debian_version"
fi || {
  echo "$me: $root is not a Debian $release root" >&2
  exit 1
}
cp /etc/resolv.conf "$root/etc/resolv.conf"
# sid's Release file is valid for a week only; a mirror (or a machine clock) a little out of step
# would refuse every update of the root. The files are still checked against Debian's keys.
if [ "$release" = sid ]; then
  echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99movra-valid-until"
fi

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
  JOBS="$jobs" ME="$me" /bin/bash -euo pipefail -c '
    cd /src
    scripts/setup.sh --debian-only
    echo "$ME: $(. /etc/os-release; echo "$PRETTY_NAME") ($(cat /etc/debian_version)), $(dpkg-query -W -f="Paho \${Version}, " libpaho-mqtt-dev)$(dpkg-query -W -f="cjose \${Version}, " libcjose-dev)$(dpkg-query -W -f="GoogleTest \${Version}, " libgtest-dev)$(dpkg-query -W -f="mosquitto \${Version}, " mosquitto)$(cmake --version | head -n 1)"
    mkdir -p build
    cmake -S . -B build/native -DMOVRA_BUILD_TESTS=ON -DMOVRA_BUILD_PYTHON=OFF \
      -DMOVRA_BUILD_BROKER_PLUGIN=ON -DMOVRA_BUILD_BENCH=ON -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
      >build/configure.log 2>&1 || { tail -n 40 build/configure.log; exit 1; }
    grep "^movra transport layer:" build/configure.log
    cmake --build build/native -j "$JOBS" >build/native-build.log 2>&1 || { tail -n 40 build/native-build.log; exit 1; }
    cd build/native
    ctest --output-on-failure -j "$JOBS" >ctest.log 2>&1 || { grep -v "   Passed " ctest.log | tail -n 80; exit 1; }
    grep -E "Transport" ctest.log | sed "s/^ *[0-9]*\/[0-9]* //"
    grep -E "tests passed" ctest.log
    ./bench/native/connect_rate 2 300
  '
echo "$me: native build and tests passed on Debian $release"
