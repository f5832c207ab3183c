#!/usr/bin/env bash
# Fails when an include of a tracked C++ file crosses the tree's layers, and
# prints every such line:
#   host/            includes only host/
#   the module       nothing from sim/, world/, tools/, bench/, tests/
#   sim/             nothing from the module, world/, tools/, bench/, tests/
#   world/           nothing from tools/, bench/, tests/
#   tools/, bench/   nothing from each other or tests/
#   outside tests/   nothing from tests/
# An include is resolved as the compiler finds it: beside the including file,
# from the tree's root, or from tests/ (a test program's include directory).
# Anything else is a system or third-party header.
set -uo pipefail
cd "${1:?usage: check_layering.sh SOURCE_DIR}" || exit 2
module=" smartx models job job_def json_spirit qorm "

layer() { # path -> its layer, in $REPLY
  local top=${1%%/*}
  case "$module" in *" $top "*) REPLY=module ;; *) REPLY=$top ;; esac
}

# What a layer may not include, as " layer ... |the rule", in $REPLY.
forbidden() {
  case $1 in
    host) REPLY=" module sim world tools bench tests |host/ includes only host/" ;;
    module) REPLY=" sim world tools bench tests |the module includes nothing from sim/, world/, tools/, bench/, tests/" ;;
    sim) REPLY=" module world tools bench tests |sim/ includes nothing from the module, world/, tools/, bench/, tests/" ;;
    world) REPLY=" tools bench tests |world/ includes nothing from tools/, bench/, tests/" ;;
    tools) REPLY=" bench tests |tools/ includes nothing from bench/ or tests/" ;;
    bench) REPLY=" tools tests |bench/ includes nothing from tools/ or tests/" ;;
    tests) REPLY=" |" ;;
    *) REPLY=" tests |nothing outside tests/ includes tests/" ;;
  esac
}

files=$(git ls-files '*.cpp' '*.h' '*.hpp' '*.cc' '*.c' 2>/dev/null)
[ -n "$files" ] || { echo "no tracked C++ files under $(pwd)" >&2; exit 2; }

bad=0
while IFS= read -r hit; do
  file=${hit%%:*}
  rest=${hit#*:}
  line=${rest%%:*}
  text=${rest#*:}
  [[ $text =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*[\<\"]([^\>\"]+) ]] || continue
  target=${BASH_REMATCH[1]}
  dir=${file%/*}
  [ "$dir" = "$file" ] && dir=.
  if [ -f "$dir/$target" ]; then
    resolved=$(realpath -m --relative-to=. "$dir/$target")
  elif [ -f "$target" ]; then
    resolved=$target
  elif [ -f "tests/$target" ]; then
    resolved=tests/$target
  else
    continue
  fi
  layer "$file"
  from=$REPLY
  layer "$resolved"
  to=$REPLY
  forbidden "$from"
  case "${REPLY%%|*}" in
    *" $to "*)
      echo "$file:$line: $text  ($resolved: ${REPLY#*|})"
      bad=1
      ;;
  esac
done < <(printf '%s\n' $files | xargs grep -nHE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]' 2>/dev/null)

if [ $bad -ne 0 ]; then
  echo "Includes that cross the layers (see tests/tree/check_layering.sh)."
  exit 1
fi
echo "no include crosses the layers"
