#!/usr/bin/env bash
# Runs every fuzz target of a built fuzz tree for a while each.
#   fuzz/run.sh BUILD_DIR SECONDS [target...]
# Each target's corpus lives in BUILD_DIR/corpus/<target>, seeded from
# fuzz/seeds/<target> and, for the JSON and record targets, the CloudTower
# answers of tests/fixtures. An input that fails is kept under
# BUILD_DIR/crashes/ and fails the run; every such input becomes a test of
# the normal suite before its fix.
set -uo pipefail
dir=${1:?usage: fuzz/run.sh BUILD_DIR SECONDS [target...]}
seconds=${2:?usage: fuzz/run.sh BUILD_DIR SECONDS [target...]}
shift 2
src=$(cd "$(dirname "$0")" && pwd)
fixtures=$src/../tests/fixtures/cloudtower

# Inputs are at most this long, but for the run records: the servants read
# those up to smartx::MAX_RECORD_BYTES, and the target's inputs may go past
# that bound.
max_len=262144
record_bound=$(sed -n 's/^constexpr size_t MAX_RECORD_BYTES = \(.*\);$/\1/p' \
  "$src/../smartx/servant/run_record.h")
record_bound=$((${record_bound:-0}))
[ "$record_bound" -gt 0 ] || { echo "no MAX_RECORD_BYTES in smartx/servant/run_record.h" >&2; exit 2; }
past_record_bound=$((record_bound + 16 * 1024))

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for bin in "$dir"/fuzz_*; do targets+=("$(basename "$bin" | sed 's/^fuzz_//')"); done
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$dir/crashes" "$dir/logs"
failed=()
for t in "${targets[@]}"; do
  corpus=$dir/corpus/$t
  mkdir -p "$corpus"
  [ -d "$src/seeds/$t" ] && cp -n "$src/seeds/$t"/* "$corpus"/ 2>/dev/null
  len=$max_len
  case $t in
    json_reader | records) cp -n "$fixtures"/*.json "$corpus"/ ;;
    run_records) len=$past_record_bound ;;
  esac
  log=$dir/logs/$t.log
  "$dir/fuzz_$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 -max_len="$len" \
    -dict="$src/json.dict" -artifact_prefix="$dir/crashes/$t-" -print_final_stats=1 "$corpus" \
    >"$log" 2>&1
  rc=$?
  runs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$')
  files=$(find "$corpus" -type f | wc -l)
  if [ $rc -eq 0 ]; then
    echo "fuzz $t: ${runs:-?} runs in ${seconds}s, corpus $files inputs, nothing found"
  else
    echo "fuzz $t: FAILED (exit $rc) after ${runs:-?} runs; log $log" >&2
    grep -E 'ERROR|SUMMARY|check failed|Test unit written' "$log" | head -8 >&2
    failed+=("$t")
  fi
done
[ ${#failed[@]} -eq 0 ] || { echo "fuzz targets that failed: ${failed[*]}" >&2; exit 1; }
