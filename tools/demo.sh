#!/usr/bin/env bash
# The demo: three VMs backed up, full then incremental, by backup jobs that
# job-engine runs through the module, against the simulators run as processes on
# 127.0.0.1; then a restore job makes each VM again from its incremental set
# and every restored disk is checked byte for byte against the snapshot that
# set was taken from. Everything happens in a scratch HOST_ROOT, removed at
# the end. Exit status: the demo's (0 only when every check passed).
set -uo pipefail
BUILD=${1:?usage: demo.sh BUILD_DIR}
DEMO="$BUILD/tools/demo-backup"
[ -x "$DEMO" ] || { echo "no $DEMO: build the tree first" >&2; exit 2; }

export HOST_ROOT
HOST_ROOT=$(mktemp -d /tmp/smartx-demo-XXXXXX)
export COMPONENT=smartx
trap 'rm -rf "$HOST_ROOT"' EXIT

"$DEMO"
rc=$?
echo
echo "demo-backup exit status: $rc (scratch directory $HOST_ROOT removed)"
exit $rc
