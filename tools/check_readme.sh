#!/usr/bin/env bash
# Runs the README's by-hand commands as a person would, to keep them true:
# every fenced block after a "<!-- by hand -->" line, in the README's order,
# in one bash (errexit, pipefail) started in the source tree, the first
# block making a fresh world with `./run world` on this build
# (WORLD_BUILD). Each line of a block after "<!-- by hand: serves -->" is a
# server command: it is started, must print "listening on
# http://127.0.0.1:PORT", and is stopped. Fails on a failing command, a
# JSON-RPC error answer, a world, a demo root or a process left behind, or
# when it all takes longer than CHECK_SECONDS (default 120).
#
#   tools/check_readme.sh [BUILD_DIR]   (default build/release, built)
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$SRC/build/release}" && pwd)
README=${README:-$SRC/README.md}
CHECK_SECONDS=${CHECK_SECONDS:-120}
[ -x "$BUILD/tools/smartx-world" ] || { echo "no $BUILD/tools/smartx-world: build the tree first" >&2; exit 2; }

scratch=$(mktemp -d -t smartx-readme.XXXXXX)
# Every temporary directory the blocks make (mktemp -t) lands under here.
mkdir "$scratch/tmp"

# Processes started for a root under the scratch directory: by their
# environment, so nothing of another run is touched.
stray_processes() {
  local env pid
  for env in /proc/[0-9]*/environ; do
    pid=${env#/proc/}
    pid=${pid%/environ}
    [ "$pid" != $$ ] || continue
    tr '\0' '\n' 2>/dev/null <"$env" | grep -q "^HOST_ROOT=$scratch/" && echo "$pid"
  done || true
}

cleanup() {
  local root pids
  for root in "$scratch"/tmp/smartx-world.*; do
    [ -d "$root" ] && "$BUILD/tools/smartx-world" stop "$root" >/dev/null 2>&1
  done
  pids=$(stray_processes)
  # shellcheck disable=SC2086
  [ -z "$pids" ] || kill -KILL $pids 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# The blocks as one script, each announced with its README line.
{
  cat <<'EOF'
# Starts one server command, waits for its address, stops it.
serve() {
  local out
  out=$(mktemp -t serve.XXXXXX)
  ( eval "exec $1" ) >"$out" 2>&1 &
  local pid=$! i
  for i in $(seq 150); do
    if grep -q '^listening on http://127\.0\.0\.1:[0-9]' "$out"; then
      kill "$pid"
      wait "$pid" || true
      rm -f "$out"
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  echo "server command did not listen: $1" >&2
  cat "$out" >&2
  return 1
}
EOF
  awk -v readme="$README" '
    /^<!-- by hand(: serves)? -->$/ { mark = $0; marked = NR; next }
    marked && marked == NR - 1 && /^```/ {
      inside = 1; serves = (mark ~ /serves/); marked = 0
      printf "echo \"### README line %d\"\n", NR
      next
    }
    inside && /^```/ { inside = 0; next }
    inside && serves && NF { gsub(/\047/, "\047\\\047\047"); print "serve \047" $0 "\047"; next }
    inside { print }
    END { if (inside) { print "README: an unclosed block" > "/dev/stderr"; exit 1 } }
  ' "$README"
} >"$scratch/blocks.sh"
blocks=$(grep -c '^echo "### README line' "$scratch/blocks.sh" || true)
[ "$blocks" -gt 0 ] || { echo "no by-hand blocks in $README" >&2; exit 1; }

log=$scratch/output.log
status=0
(
  cd "$SRC"
  unset HOST_ROOT
  export TMPDIR=$scratch/tmp WORLD_BUILD=$BUILD
  exec timeout -k 5 "$CHECK_SECONDS" bash -e -o pipefail "$scratch/blocks.sh"
) >"$log" 2>&1 </dev/null || status=$?

problems=()
[ "$status" -eq 0 ] || problems+=("the commands failed (exit status $status)")
if grep -n '"error":{' "$log" >"$scratch/errors"; then
  problems+=("JSON-RPC error answers: $(head -3 "$scratch/errors")")
fi
# What the README says it removes: the world (smartx-world stop), the demo's root.
left=$(find "$scratch/tmp" -mindepth 1 -maxdepth 1 \( -name 'smartx-world.*' -o -name 'smartx-demo.*' \) | head -5)
[ -z "$left" ] || problems+=("left behind: $left")
sleep 0.2
pids=$(stray_processes)
[ -z "$pids" ] || problems+=("processes left running: $pids")

if [ ${#problems[@]} -gt 0 ]; then
  echo "README by-hand commands: $blocks blocks; their output ends:"
  tail -n 40 "$log"
  printf 'FAILED: %s\n' "${problems[@]}"
  exit 1
fi
echo "README by-hand commands: $blocks blocks ran as written"
