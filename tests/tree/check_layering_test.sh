#!/usr/bin/env bash
# The layering check on small trees, one fault each: it fails, naming the
# fault, on every faulty tree and passes the sound ones.
set -uo pipefail
check="$(cd "$(dirname "$0")" && pwd)/check_layering.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A tree of the files given as "path|text" (\n: a new line), in git; then
# the check over it. Prints the check's output, returns its status.
run_on() {
  local dir
  dir=$(mktemp -d "$work/tree-XXXXXX")
  local spec path text
  for spec in "$@"; do
    path=${spec%%|*}
    text=${spec#*|}
    mkdir -p "$dir/$(dirname "$path")"
    printf '%b\n' "$text" >"$dir/$path"
  done
  git -C "$dir" init -q && git -C "$dir" add -A
  "$check" "$dir"
}

base=("module_dirs.txt|# the module\nsmartx/common\nqorm"
  "host/a.h|// host"
  "smartx/common/m.h|#include \"host/a.h\""
  "qorm/q.cpp|#include \"smartx/common/m.h\""
  "tools/CMakeLists.txt|add_executable(job-engine job_engine.cpp)\ntarget_link_libraries(job-engine PRIVATE host)\nadd_executable(demo-backup demo_backup.cpp)\ntarget_link_libraries(demo-backup PRIVATE world)"
  "tools/job_engine.cpp|#include \"host/a.h\""
  "tools/demo_backup.cpp|#include \"smartx/common/m.h\"")

failed=0
expect() { # case name, expected in the output ("" for a pass), files over the base tree...
  local name=$1 expected=$2 out status
  shift 2
  out=$(run_on "${base[@]}" "$@")
  status=$?
  if [ -z "$expected" ]; then
    [ $status -eq 0 ] && return
    echo "FAIL $name: expected a pass, got status $status:"
  elif [ $status -eq 1 ] && [[ $out == *"$expected"* ]]; then
    return
  else
    echo "FAIL $name: expected status 1 and \"$expected\", got $status:"
  fi
  echo "$out"
  failed=1
}

expect "sound tree (the demo's module include let through)" ""
expect "host program including the module" \
  'tools/job_engine.cpp:1: #include "smartx/common/m.h"  (smartx/common/m.h: tools/ includes nothing from the module' \
  'tools/job_engine.cpp|#include "smartx/common/m.h"'
expect "host program linking the module" "tools/CMakeLists.txt: job-engine links smartx_static" \
  'tools/CMakeLists.txt|add_executable(job-engine job_engine.cpp)\ntarget_link_libraries(job-engine PRIVATE host\n  smartx_static)'
expect "C++ file outside the listed folders" \
  "smartx/other/x.cpp: under the module's folders but in none of module_dirs.txt's" \
  'smartx/other/x.cpp|// not built'
expect "folder added to the list" \
  'sim/s.cpp:1: #include "smartx/other/x.h"  (smartx/other/x.h: sim/ includes nothing from the module' \
  'module_dirs.txt|smartx/common\nsmartx/other\nqorm' 'smartx/other/x.h|// in the module' \
  'sim/s.cpp|#include "smartx/other/x.h"'

[ $failed -eq 0 ] && echo "the layering check catches every case"
exit $failed
