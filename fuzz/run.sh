#!/bin/sh
# Builds the fuzz targets of the wire decoders in the asan preset's tree (clang,
# libFuzzer, ASan and UBSan; build/asan), seeds them from the round-trip corpus,
# and runs each for SECONDS (default 60), TARN_FUZZ_JOBS (default 2) at a time.
# Any crash, leak or sanitizer report fails the script; the input that caused it
# is kept in build/asan/fuzz/artifacts.
#
#   fuzz/run.sh [SECONDS]
set -eu

seconds=${1:-60}
case $seconds in
  ''|*[!0-9]*) echo "usage: fuzz/run.sh [SECONDS]" >&2; exit 2 ;;
esac
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/asan
jobs=${TARN_FUZZ_JOBS:-2}
targets="xml_value xml_request xml_response json_value"

(cd "$root" && cmake --preset asan >/dev/null)
cmake --build "$build" -j "$jobs" --target fuzz_xml_value fuzz_xml_request fuzz_xml_response fuzz_json_value \
  tarn-wire-corpus

work=$build/fuzz
seeds=$work/seeds
rm -rf "$seeds"
ASAN_OPTIONS=detect_leaks=1 "$build/tests/wire/schema/tarn-wire-corpus" --seeds "$seeds"
mkdir -p "$work/artifacts"

# One target: new inputs go to a corpus of its own, kept between runs; the seeds are
# remade each time. Leaves its exit status in $work/fuzz_<target>.status.
run_one() {
  found=$work/found/$1
  mkdir -p "$found"
  status=0
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$work/fuzz_$1" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/$1-" "$found" "$seeds/$1" \
    >"$work/fuzz_$1.log" 2>&1 || status=$?
  echo "$status" >"$work/fuzz_$1.status"
}

running=0
for target in $targets; do
  echo "== fuzz_$target: $seconds s"
  run_one "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait
    running=0
  fi
done
wait

failed=""
for target in $targets; do
  if [ "$(cat "$work/fuzz_$target.status")" != 0 ]; then
    failed="$failed $target"
    tail -n 60 "$work/fuzz_$target.log" >&2
  fi
  echo "fuzz_$target: $(grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$work/fuzz_$target.log" | tr '\n' ' ')"
done

if [ -n "$failed" ]; then
  echo "fuzz: failed:$failed (inputs in $work/artifacts)" >&2
  exit 1
fi
echo "fuzz: no crash in 4 targets x $seconds s"
