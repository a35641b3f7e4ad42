#!/usr/bin/env bash
# Builds the fuzzers with clang (build/fuzz), makes a key and seeds there, replays every kept
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
.venv/bin/python tests/fuzz/make_seeds.py "$work"
mkdir -p "$build/crashes"
export MOVRA_FUZZ_KEY=$work/private.jwk MOVRA_FUZZ_PASSWORDS=$work/passwords
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
for target in auth password_file; do
  fuzzer=$build/fuzz_$target
  regressions=(tests/fuzz/regressions/$target/*)
  if [ -e "${regressions[0]}" ]; then
    "$fuzzer" "${regressions[@]}" >"$build/$target-regressions.log" 2>&1 || {
      cat "$build/$target-regressions.log"; echo "fuzz: a kept regression input of $target fails"; exit 1; }
  fi
  "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -print_final_stats=1 \
    -artifact_prefix="$build/crashes/$target-" "$work/corpus/$target" "$work/seeds/$target" \
    tests/fuzz/regressions/$target >"$build/$target.log" 2>&1 || {
      tail -60 "$build/$target.log"; echo "fuzz: fuzz_$target found a crash (see $build/crashes)"; exit 1; }
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$build/$target.log" | grep -o '[0-9]*$')
  echo "fuzz: fuzz_$target ran $runs inputs in ${seconds}s without a crash"
done
