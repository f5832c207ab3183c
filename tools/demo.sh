#!/usr/bin/env bash
# The demo: runs jobs through the job engine and the module, in a scratch
# HOST_ROOT, and says what happened.
set -uo pipefail
BUILD=${1:?usage: demo.sh BUILD_DIR}
ENGINE="$BUILD/tools/job-engine"
MODULE="$BUILD/libsmartx.so"

export HOST_ROOT
HOST_ROOT=$(mktemp -d /tmp/smartx-demo-XXXXXX)
export COMPONENT=smartx
trap 'rm -rf "$HOST_ROOT"' EXIT

say() { printf '\n== %s\n' "$*"; }
fail=0

say "1. A backup job definition with a pre-action, a post-action and one VM in its source"
cat >"$HOST_ROOT/backup.json" <<JSON
{
  "id": "6b3f7c1e-5d1a-4e8b-9c2f-000000000001",
  "uid": "6b3f7c1e-5d1a-4e8b-9c2f-0000000000aa",
  "name": "demo-backup",
  "type": 1,
  "pre_action": "echo pre-action ran > '$HOST_ROOT/pre.txt'",
  "post_action": "echo post-action ran > '$HOST_ROOT/post.txt'",
  "run_post_action_always": true,
  "source": {"id": "src-1", "name": "demo source",
             "entries": [{"id": "vm-1", "name": "web-01", "type": "VirtualMachine"}]},
  "options": {"parallel_vms": 2}
}
JSON
"$ENGINE" --module "$MODULE" --timeout 300 "$HOST_ROOT/backup.json"
rc=$?
echo "job-engine exit status: $rc"
[ -f "$HOST_ROOT/pre.txt" ] && echo "the pre-action ran: $(cat "$HOST_ROOT/pre.txt")" || { echo "the pre-action did not run"; fail=1; }
[ -f "$HOST_ROOT/post.txt" ] && echo "the post-action ran: $(cat "$HOST_ROOT/post.txt")" || { echo "the post-action did not run"; fail=1; }
if [ $rc -ne 0 ]; then
  echo "The backup executor does not move VM data yet, so the run ended with a failure report (as it must: no backup was made)."
fi

say "2. The same job with a precondition that fails: no report at all, non-zero exit"
sed 's/"type": 1,/"type": 1, "precondition": "exit 1",/' "$HOST_ROOT/backup.json" >"$HOST_ROOT/skip.json"
out=$("$ENGINE" --module "$MODULE" "$HOST_ROOT/skip.json")
rc=$?
printf '%s\n' "$out"
if [ $rc -ne 0 ] && ! grep -q '^report:' <<<"$out"; then
  echo "as expected: the precondition stopped the run before any report"
else
  echo "unexpected: exit $rc"; fail=1
fi

say "Done"
exit $fail
