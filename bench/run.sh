#!/usr/bin/env bash
# Runs every benchmark program of a build (configured with -DSMARTX_BENCH=ON)
# and prints, per program, each benchmark's time as a ratio of the program's
# baselines (benchmarks named baseline_*), then one table of the figures the
# programs wrote to BENCH_TARGETS_FILE (figure, value, target, met or missed,
# and a ratio's value in each round).
#   bench/run.sh BUILD_DIR [benchmark arguments...]
set -euo pipefail
build=${1:?usage: bench/run.sh BUILD_DIR [benchmark arguments...]}
shift
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

shopt -s nullglob
programs=("$build"/bench/bench_*)
if [ ${#programs[@]} -eq 0 ]; then
  echo "No benchmark programs in $build/bench (configure with -DSMARTX_BENCH=ON)." >&2
  exit 1
fi

export BENCH_TARGETS_FILE="$out/targets.tsv"
: >"$BENCH_TARGETS_FILE"
status=0
for prog in "${programs[@]}"; do
  [ -x "$prog" ] || continue
  name=$(basename "$prog")
  echo "== $name"
  "$prog" --benchmark_out="$out/$name.json" --benchmark_out_format=json "$@" || status=1
done

python3 - "$BENCH_TARGETS_FILE" "$out"/*.json <<'PY'
import json, sys
for path in sys.argv[2:]:
    with open(path) as f:
        runs = [b for b in json.load(f).get("benchmarks", []) if b.get("run_type") != "aggregate"]
    # "image_write/min_time:1.000/real_time" -> "image_write"
    times = {b["name"].split("/")[0]: b["real_time"] for b in runs}
    baselines = {n: t for n, t in times.items() if n.startswith("baseline_") and t > 0}
    if not baselines:
        continue
    print("\n== ratios (time / baseline time; below 1 is faster)")
    for name, t in times.items():
        if name in baselines:
            continue
        for base, bt in baselines.items():
            print(f"{name:24s} {t / bt:6.2f} x {base}")
with open(sys.argv[1]) as f:
    rows = [line.rstrip("\n").split("\t") for line in f if line.strip()]
if rows:
    print("\n== figures and targets (a ratio: the median of its rounds' ratios)")
    print(f"{'figure':56s} {'value':>9s}  {'target':9s} {'result':7s} per round")
    for row in rows:
        what, value, target, result = row[:4]
        rounds = row[4] if len(row) > 4 else ""
        print(f"{what:56s} {float(value):9.2f}  {target or '-':9s} {result:7s} {rounds}")
PY
exit $status
