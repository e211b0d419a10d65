#!/bin/sh
# vantrel-sim as a service: quiet in the background of an interactive shell, ended by its
# signals with its link removed, a link that a running simulator serves refused, usage errors,
# the console only when asked for without a terminal, --log, --log FILE and --input.
# Usage: sim_service.sh VANTREL_SIM VANTREL
set -u
sim=$1
tool=$2
dir=$(mktemp -d)
pids=""
trap 'for p in $pids; do kill "$p" 2>/dev/null; done; rm -rf "$dir"' EXIT
failed=0
check() {  # check WHAT ACTUAL EXPECTED
    if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: got '$2', expected '$3'"; failed=1; fi
}
contains() {  # contains WHAT FILE TEXT
    if grep -qF -- "$3" "$2"; then echo "ok: $1"; else echo "FAILED: $1: no '$3' in:"; cat "$2"; failed=1; fi
}
wait_for() {  # wait_for PATH: until it exists, at most 10 s
    i=0
    while [ ! -e "$1" ]; do
        i=$((i + 1))
        [ "$i" -lt 200 ] || return 1
        sleep 0.05
    done
}
wait_gone() {
    i=0
    while [ -e "$1" ] || [ -L "$1" ]; do
        i=$((i + 1))
        [ "$i" -lt 200 ] || return 1
        sleep 0.05
    done
}

"$sim" --no-such-option >/dev/null 2>&1
check "an unknown option is a usage error" "$?" 2
"$sim" --console --no-console >/dev/null 2>&1
check "--console with --no-console is a usage error" "$?" 2
"$sim" --pace-baud 0 >/dev/null 2>&1
check "a rate out of range is a usage error" "$?" 2
"$sim" --input "10 3 sine 1 2" >/dev/null 2>"$dir/err"
check "a bad --input is a usage error" "$?" 2
contains "that says what is wrong" "$dir/err" "usage: sine MID AMPLITUDE PERIOD"

# --log FILE: one line for each conversion, here of a client reading an input that moves.
"$sim" --link "$dir/moving" --log "$dir/conversions.csv" --input "10 3 alternate 341 682" \
    </dev/null >/dev/null 2>&1 &
pid=$!
pids="$pids $pid"
wait_for "$dir/moving" || { echo "FAILED: the simulator with --log FILE did not start"; exit 1; }
"$tool" read --device "$dir/moving" --bits 10 --channel 3 --count 4 --interval 0 >/dev/null 2>&1
check "a client reads the moving input" "$?" 0
kill -TERM "$pid"
wait "$pid"
check "the log has its header and a line a conversion" "$(wc -l <"$dir/conversions.csv")" 5
contains "with its columns" "$dir/conversions.csv" "wall_us,mono_us,bits,channel,word,reading"
contains "and the conversions made" "$dir/conversions.csv" ",10,3,43648,682"

# Without a terminal there is no console: "quit" on standard input is not read.
printf 'quit\n' | "$sim" --link "$dir/board" --log >"$dir/out" 2>&1 &
pid=$!
pids="$pids $pid"
wait_for "$dir/board" || { echo "FAILED: the simulator did not start"; cat "$dir/out"; exit 1; }
"$tool" cmd --device "$dir/board" PRA >/dev/null 2>&1
check "it serves with standard input at its end" "$?" 0
kill -0 "$pid" 2>/dev/null
check "quit on a pipe is no console command" "$?" 0

"$sim" --link "$dir/board" </dev/null >/dev/null 2>"$dir/second"
check "a second simulator on a served link fails" "$?" 1
contains "and says who serves it" "$dir/second" "$dir/board is served by another vantrel-sim (pid $pid)"
"$tool" cmd --device "$dir/board" PRA >/dev/null 2>&1
check "the link still leads to the first" "$?" 0

kill -TERM "$pid"
wait "$pid"
check "SIGTERM ends it normally" "$?" 0
wait_gone "$dir/board"
check "and removes its link" "$?" 0
contains "--log shows each command line" "$dir/out" '< "PRA\r"'
contains "and its reply" "$dir/out" '> "OK 1\r\n>"'

# A stale link of a simulator killed outright is taken over.
"$sim" --link "$dir/board" </dev/null >/dev/null 2>&1 &
pid=$!
wait_for "$dir/board"
kill -KILL "$pid"
wait "$pid" 2>/dev/null
"$sim" --link "$dir/board" </dev/null >/dev/null 2>&1 &
pid=$!
pids="$pids $pid"
i=0
until "$tool" cmd --device "$dir/board" PRA >/dev/null 2>&1 || [ "$i" -ge 50 ]; do
    i=$((i + 1))
    sleep 0.1
done
[ "$i" -lt 50 ]
check "a stale link is replaced" "$?" 0
kill -INT "$pid"
wait "$pid"
check "SIGINT ends it normally" "$?" 0
wait_gone "$dir/board"
check "and removes its link" "$?" 0

# --console reads commands from a pipe; status names the faults in force.
printf 'status\nfault delay 250\nfault silent on\noverride PRA "?A No\\r\\n>" 2\nrefuse-setup 1\nstatus\nquit\n' |
    "$sim" --console >"$dir/console" 2>&1
check "quit on the console ends it" "$?" 0
contains "no faults at first" "$dir/console" "faults: none"
contains "the faults in force" "$dir/console" \
    'faults: silent, delay 250 ms, refuse-setup 1, override "PRA" "?A No\r\n>" 2'

# In the background of an interactive shell the simulator neither reads the terminal nor stops,
# and "kill %1" ends it and its link.
if command -v script >/dev/null && command -v bash >/dev/null; then
    cat >"$dir/session" <<EOS
PS1=''
"$sim" --link "$dir/bg" >/dev/null &
i=0; while [ ! -e "$dir/bg" ] && [ \$i -lt 200 ]; do i=\$((i+1)); sleep 0.05; done
"$tool" cmd --device "$dir/bg" PRA >/dev/null 2>&1; echo "cmd=\$?"
jobs -l | grep -c Running | sed 's/^/running=/'
kill %1; wait %1; echo "sim=\$?"
[ -e "$dir/bg" ] && echo link=left || echo link=gone
exit
EOS
    timeout 60 script -qec "bash --norc --noprofile --noediting -i" /dev/null <"$dir/session" \
        2>&1 | tr -d '\r' >"$dir/shell"
    contains "in the background it serves" "$dir/shell" "cmd=0"
    contains "and keeps running" "$dir/shell" "running=1"
    contains "kill %1 ends it" "$dir/shell" "sim=0"
    contains "and removes its link" "$dir/shell" "link=gone"
else
    echo "skipped: no script(1) or bash for the interactive shell"
fi
exit $failed
