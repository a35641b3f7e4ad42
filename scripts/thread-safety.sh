#!/usr/bin/env bash
# Clang's thread-safety analysis over the client core's sources (client/thread_annotations.h): a
# member read or written without the lock it is guarded by, a lock left held or released twice, a
# call without a lock the callee requires, each fails. Syntax only: nothing is built.
# Usage: scripts/thread-safety.sh [source...]   (default: every .cpp of client/)
set -euo pipefail
cd "$(dirname "$0")/.."

CLANG=${CLANG:-clang++}
if ! command -v "$CLANG" >/dev/null; then
    echo "thread-safety: $CLANG not found (scripts/setup.sh installs clang)" >&2
    exit 1
fi
if (($# == 0)); then
    mapfile -t sources < <(git ls-files 'client/*.cpp')
else
    sources=("$@")
fi

# The include paths and transport defines of the default build (client/CMakeLists.txt, movra::paho).
flags=(-std=c++20 -fsyntax-only -Wthread-safety -Wthread-safety-beta -Werror
    -Iclient -Iconsole -Icrypto
    -DMOVRA_TRANSPORT=1 -DMOVRA_TRANSPORT_SCHEDULING=1 -DMOVRA_TRANSPORT_HANDOVER=1)
printf '%s\n' "${sources[@]}" | xargs -P "${JOBS:-2}" -I{} "$CLANG" "${flags[@]}" {}
