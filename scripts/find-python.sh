#!/usr/bin/env bash
# Prints the path of a Python 3.12 interpreter: pyenv's newest 3.12, else python3.12 on PATH.
set -euo pipefail
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root)
  version=$(pyenv versions --bare 2>/dev/null | grep -E '^3\.12(\.[0-9]+)?$' | sort -V | tail -n 1 || true)
  if [ -n "$version" ] && [ -x "$root/versions/$version/bin/python3.12" ]; then
    echo "$root/versions/$version/bin/python3.12"
    exit 0
  fi
fi
if command -v python3.12 >/dev/null 2>&1; then
  command -v python3.12
  exit 0
fi
echo "error: no Python 3.12 found (looked in pyenv's versions and on PATH); install one, e.g. 'pyenv install 3.12'" >&2
exit 1
