#!/usr/bin/env bash
# Builds the fuzzers with clang (build/fuzz: the broker plugin's; build/fuzz-client: the client's,
# the real client core against a broker in its process), makes a key and seeds, replays every kept
# regression input, then runs each fuzzer for the given number of seconds. Any crash fails the run;
# its input is left in build/fuzz/crashes/ to be kept under tests/fuzz/regressions/<target>/.
#   tests/fuzz/run.sh <seconds per fuzzer>
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-30}
build=build/fuzz
work=$build/work
CC=clang .venv/bin/cmake -S tests/fuzz -B "$build" -G Ninja >/dev/null
.venv/bin/cmake --build "$build" -j "${JOBS:-2}"
CC=clang CXX=clang++ .venv/bin/cmake -S . -B build/fuzz-client -G Ninja -DMOVRA_BUILD_PYTHON=OFF \
  -DMOVRA_BUILD_TESTS=OFF -DMOVRA_BUILD_CLIENT_FUZZER=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMOVRA_SANITIZE=fuzzer-no-link,address,undefined >/dev/null
.venv/bin/cmake --build build/fuzz-client -j "${JOBS:-2}" --target fuzz_client
.venv/bin/python tests/fuzz/make_seeds.py "$work"
# The client's seeds: chunks of whole packets (a QoS 1 PUBLISH, a PUBREL) and a stray CONNACK.
mkdir -p "$work/seeds/client" "$work/corpus/client" "$build/crashes"
printf '\x08\x32\x06\x00\x01a\x00\x07x\x04\x62\x02\x00\x07' >"$work/seeds/client/publish"
printf '\x00\x04\x20\x02\x00\x00' >"$work/seeds/client/connack"
export MOVRA_FUZZ_KEY=$work/private.jwk MOVRA_FUZZ_PASSWORDS=$work/passwords
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
for target in auth password_file client; do
  fuzzer=$build/fuzz_$target
  timeout=10
  if [ "$target" = client ]; then
    # A subscribe that loses its connection waits for the library's 10 s timeout.
    fuzzer=build/fuzz-client/fuzz_client
    timeout=30
  fi
  regressions=(tests/fuzz/regressions/$target/*)
  kept=()
  [ -d tests/fuzz/regressions/$target ] && kept=(tests/fuzz/regressions/$target)
  if [ -e "${regressions[0]}" ]; then
    "$fuzzer" "${regressions[@]}" >"$build/$target-regressions.log" 2>&1 || {
      cat "$build/$target-regressions.log"; echo "fuzz: a kept regression input of $target fails"; exit 1; }
  fi
  "$fuzzer" -max_total_time="$seconds" -timeout=$timeout -rss_limit_mb=1024 -print_final_stats=1 \
    -artifact_prefix="$build/crashes/$target-" "$work/corpus/$target" "$work/seeds/$target" \
    "${kept[@]}" >"$build/$target.log" 2>&1 || {
      tail -60 "$build/$target.log"; echo "fuzz: fuzz_$target found a crash (see $build/crashes)"; exit 1; }
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$build/$target.log" | grep -o '[0-9]*$')
  echo "fuzz: fuzz_$target ran $runs inputs in ${seconds}s without a crash"
done
