#!/usr/bin/env bash
# Installs what the project needs and nothing else: missing Debian packages, then .venv made with
# Python 3.12 and the pinned PyPI packages. On a ready machine it only checks, in a second or two.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake pkg-config
  libpaho-mqtt-dev libcjose-dev libjansson-dev libssl-dev
  mosquitto mosquitto-clients mosquitto-dev libmosquitto-dev
  libgtest-dev
  clang libclang-rt-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -q
  $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
# The packaged broker must not run as a service on the machine: tests start their own.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet mosquitto 2>/dev/null; then
  systemctl stop mosquitto || true
fi

python=$(scripts/find-python.sh)
if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))'; then
  echo "setup: creating .venv with $python"
  rm -rf .venv
  "$python" -m venv .venv
fi
stamp=.venv/.requirements-installed
if [ ! -f "$stamp" ] || [ requirements-dev.txt -nt "$stamp" ]; then
  .venv/bin/python -m pip install -q --disable-pip-version-check --upgrade pip
  .venv/bin/python -m pip install -q --disable-pip-version-check -r requirements-dev.txt
  touch "$stamp"
fi
