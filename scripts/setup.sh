#!/usr/bin/env bash
# Installs what the project needs and nothing else: missing Debian packages, then .venv made with
# Python 3.12 and the pinned PyPI packages. On a ready machine it only checks, in a second or two.
#
#   scripts/setup.sh                  everything
#   scripts/setup.sh --debian-only    the Debian packages alone (for a native build, e.g. in a chroot)
set -euo pipefail
cd "$(dirname "$0")/.."
debian_only=false
[ "${1:-}" = "--debian-only" ] && debian_only=true

packages=(
  build-essential cmake pkg-config
  libpaho-mqtt-dev libcjose-dev libjansson-dev libssl-dev
  mosquitto mosquitto-clients mosquitto-dev libmosquitto-dev
  libgtest-dev openssl
  clang libclang-rt-dev
  rabbitmq-server
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
  # RabbitMQ's install scripts leave an Erlang port mapper listening on every interface.
  if [[ " ${missing[*]} " == *" rabbitmq-server "* ]] && command -v epmd >/dev/null 2>&1; then
    epmd -kill >/dev/null 2>&1 || true
  fi
fi
# The packaged broker must not run as a service on the machine: tests start their own.
# Nor RabbitMQ and its Erlang port mapper: the cluster tests start their own nodes by hand.
for service in mosquitto rabbitmq-server epmd.socket epmd; do
  if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet "$service" 2>/dev/null; then
    systemctl stop "$service" || true
    systemctl disable "$service" >/dev/null 2>&1 || true
  fi
done

$debian_only && exit 0

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
