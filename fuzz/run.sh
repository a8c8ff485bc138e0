#!/bin/sh
# Builds the fuzz targets of the wire decoders with clang (libFuzzer, ASan and
# UBSan) in build/fuzz, seeds them from the round-trip corpus, and runs each for
# SECONDS (default 60). Any crash, leak or sanitizer report fails the script;
# the input that caused it is kept in build/fuzz/artifacts.
#
#   fuzz/run.sh [SECONDS]
set -eu

seconds=${1:-60}
case $seconds in
  ''|*[!0-9]*) echo "usage: fuzz/run.sh [SECONDS]" >&2; exit 2 ;;
esac
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz
jobs=${TARN_FUZZ_JOBS:-2}

# The generated library is optimised (RelWithDebInfo): under the sanitizers a
# debug build would spend the minute on startup rather than on inputs.
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARN_SANITIZE=address -DTARN_BUILD_TESTS=ON -DTARN_BUILD_FUZZ=ON -DTARN_LIB_OPT_FLAGS=-O1 >/dev/null
cmake --build "$build" -j "$jobs" --target fuzz_xml_value fuzz_xml_request fuzz_xml_response fuzz_json_value \
  tarn-wire-corpus

seeds=$build/seeds
rm -rf "$seeds"
ASAN_OPTIONS=detect_leaks=1 "$build/tests/wire/schema/tarn-wire-corpus" --seeds "$seeds"

mkdir -p "$build/artifacts"
failed=""
for target in xml_value xml_request xml_response json_value; do
  # New inputs go to a corpus of their own, kept between runs; the seeds are remade each time.
  found=$build/found/$target
  mkdir -p "$found"
  echo "== fuzz_$target: $seconds s"
  if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" "$found" "$seeds/$target" \
      >"$build/fuzz_$target.log" 2>&1; then
    failed="$failed $target"
    tail -n 60 "$build/fuzz_$target.log" >&2
  fi
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$build/fuzz_$target.log" || true
done

if [ -n "$failed" ]; then
  echo "fuzz: failed:$failed (inputs in $build/artifacts)" >&2
  exit 1
fi
echo "fuzz: no crash in 4 targets x $seconds s"
