#!/usr/bin/env bash
# Fails when a tracked C++ file differs from what the root .clang-format makes of it.
set -uo pipefail
cd "${1:?usage: check_format.sh SOURCE_DIR}" || exit 2
cf=$(command -v clang-format || ls /usr/bin/clang-format-* 2>/dev/null | head -n 1)
[ -n "$cf" ] || { echo "clang-format is not installed" >&2; exit 2; }
files=$(git ls-files '*.cpp' '*.h' '*.hpp' '*.cc' 2>/dev/null)
[ -n "$files" ] || { echo "no tracked C++ files under $(pwd)" >&2; exit 2; }
bad=$(printf '%s\n' $files | xargs -P 4 -n 16 "$cf" --dry-run 2>&1 | grep -oE '^[^:]+\.(cpp|h|hpp|cc)' | sort -u)
if [ -n "$bad" ]; then
  echo "Not formatted (run clang-format -i on them):"
  printf '  %s\n' $bad
  exit 1
fi
echo "every C++ file is formatted"
