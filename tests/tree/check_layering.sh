#!/usr/bin/env bash
# Fails when an include of a tracked C++ file crosses the tree's layers, and
# prints every such line:
#   host/            includes only host/
#   the module       nothing from sim/, world/, tools/, bench/, tests/
#   sim/             nothing from the module, world/, tools/, bench/, tests/
#   world/           nothing from tools/, bench/, tests/
#   tools/           nothing from the module, bench/ or tests/: host programs
#                    reach the module only by loading it with dlopen
#   bench/           nothing from tools/ or tests/
#   outside tests/   nothing from tests/
# The module is the folders of module_dirs.txt (the build's list); a C++ file
# in another folder under theirs would not be built and fails too. So does a
# program of tools/CMakeLists.txt linking the module, or world/, which does.
# An include is resolved as the compiler finds it: beside the including file,
# from the tree's root, or from tests/ (a test program's include directory).
# Anything else is a system or third-party header.
set -uo pipefail
cd "${1:?usage: check_layering.sh SOURCE_DIR}" || exit 2
mapfile -t module_dirs < <(grep -v -e '^#' -e '^[[:space:]]*$' module_dirs.txt 2>/dev/null)
[ ${#module_dirs[@]} -gt 0 ] || { echo "no module folder in $(pwd)/module_dirs.txt" >&2; exit 2; }

# Besides the host programs, tools/ holds world programs: the demo and
# smartx-world set up the backup world the tests share (world/, built on the
# module's records and linking it) to run the host programs in, which still
# load the module with dlopen. They may link world/; the demo also reads
# back the login and the progress records the module keeps.
# What the rules forbid but is let through, as " file:layer ":
allowed=" tools/demo_backup.cpp:module "
# tools/ programs that may link the module through world/:
linked_allowed=" demo-backup smartx-world "

layer() { # path -> its layer, in $REPLY
  local d
  for d in "${module_dirs[@]}"; do
    case $1 in "$d"/*) REPLY=module; return ;; esac
  done
  REPLY=${1%%/*}
}

# What a layer may not include, as " layer ... |the rule", in $REPLY.
forbidden() {
  case $1 in
    host) REPLY=" module sim world tools bench tests |host/ includes only host/" ;;
    module) REPLY=" sim world tools bench tests |the module includes nothing from sim/, world/, tools/, bench/, tests/" ;;
    sim) REPLY=" module world tools bench tests |sim/ includes nothing from the module, world/, tools/, bench/, tests/" ;;
    world) REPLY=" tools bench tests |world/ includes nothing from tools/, bench/, tests/" ;;
    tools) REPLY=" module bench tests |tools/ includes nothing from the module (host programs load it with dlopen), bench/ or tests/" ;;
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
      case $allowed in *" $file:$to "*) continue ;; esac
      echo "$file:$line: $text  ($resolved: ${REPLY#*|})"
      bad=1
      ;;
  esac
done < <(printf '%s\n' $files | xargs grep -nHE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]' 2>/dev/null)

# C++ files under the module's top folders but in none of its folders.
tops=" "
for d in "${module_dirs[@]}"; do tops+="${d%%/*} "; done
for file in $files; do
  layer "$file"
  case $tops in
    *" $REPLY "*)
      echo "$file: under the module's folders but in none of module_dirs.txt's (not built)"
      bad=1
      ;;
  esac
done

# Programs of tools/ linking the module, or world/ (which links it).
while IFS= read -r call; do
  read -r -a words <<<"${call#*(}"
  for lib in "${words[@]:1}"; do
    case " smartx smartx_static smartx_objs world " in
      *" ${lib%)} "*)
        case $linked_allowed in *" ${words[0]} "*) continue ;; esac
        echo "tools/CMakeLists.txt: ${words[0]} links ${lib%)}  (host programs load the module with dlopen)"
        bad=1
        ;;
    esac
  done
done < <(tr '\n' ' ' <tools/CMakeLists.txt | grep -oE 'target_link_libraries\([^)]*\)')

if [ $bad -ne 0 ]; then
  echo "Includes that cross the layers (see tests/tree/check_layering.sh)."
  exit 1
fi
echo "no include crosses the layers"
