#!/bin/sh
# Runs a host example against a simulated board: run_with_sim.sh VANTREL_SIM PROGRAM [ARGS...]
# The word DEVICE among ARGS is replaced by the simulated board's device; VANTREL_SIM_ARGS
# holds options for the simulator (for example --pace).
set -eu
sim=$1
shift
dir=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null; rm -rf "$dir"' EXIT
# shellcheck disable=SC2086
"$sim" ${VANTREL_SIM_ARGS:-} --link "$dir/board" </dev/null >"$dir/out" 2>&1 &
pid=$!
i=0
while [ ! -e "$dir/board" ]; do
    i=$((i + 1))
    [ "$i" -lt 200 ] || { echo "the simulator did not start" >&2; cat "$dir/out" >&2; exit 1; }
    sleep 0.05
done
prog=$1
shift
args=""
for a in "$@"; do
    [ "$a" = DEVICE ] && a="$dir/board"
    args="$args $a"
done
# shellcheck disable=SC2086
"$prog" $args
