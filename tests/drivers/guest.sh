# The checks of the drivers tier, run by busybox sh inside the guest (tests/drivers/run.sh).
#
# Each check prints "@@T PASS name (detail)" or "@@T FAIL name (detail)"; a failed command's
# output follows on lines starting "@@|". Every wait is bounded: a command that hangs is killed by its timeout and fails its check.
# The reply windows are 260 ms at 9600 baud and 22 ms at 115200: a loaded host running the guest
# under TCG misses the short one now and then, so every check that waits for the board's reply
# runs at 9600; the rate checks at 115200 only open the port.

exec 3</dev/console 4>/dev/console
# A held shell that died must not take this script with it when a line is written to it.
trap '' PIPE
stty -F /dev/console -echo
up() { cut -d' ' -f1 /proc/uptime; }
echo "@@BOOT $(up)"

for m in $(cat /etc/modules); do insmod "$m" || echo "insmod $m failed"; done
udevd --daemon --resolve-names=never 2>/dev/null
udevadm trigger --action=add 2>/dev/null

PASS=0
FAIL=0
# result PASS|FAIL NAME [DETAIL]
result() {
    if [ "$1" = PASS ]; then PASS=$((PASS + 1)); else FAIL=$((FAIL + 1)); fi
    echo "@@T $1 $2${3:+ ($3)}" >&4
}
# until_true SECONDS COMMAND...: polls COMMAND every 50 ms until it succeeds, for SECONDS at most.
until_true() {
    u_n=$(($1 * 20))
    shift
    while ! "$@"; do
        u_n=$((u_n - 1))
        [ $u_n -gt 0 ] || return 1
        usleep 50000
    done
}
# host WHAT...: asks the host; its one-line answer goes to ANSWER. Fails after 20 s without one.
SEQ=0
host() {
    SEQ=$((SEQ + 1))
    ANSWER=
    echo "@@HOST $SEQ $*" >&4
    while read -r -t 20 h_tag h_seq h_answer <&3; do
        [ "$h_tag" = @@ACK ] && [ "$h_seq" = $SEQ ] && ANSWER=$h_answer && return 0
    done
    return 1
}
# check NAME REGEX COMMAND...: COMMAND ends with status 0 within 40 s and its output (both
# streams) matches the extended REGEX.
check() {
    c_name=$1
    c_want=$2
    shift 2
    c_t0=$(up)
    c_out=$(timeout 40 "$@" 2>&1 </dev/null)
    c_rc=$?
    c_dt=$(echo "$c_t0 $(up)" | awk '{printf "%.2f s", $2 - $1}')
    if [ $c_rc -eq 0 ] && echo "$c_out" | grep -qE -e "$c_want"; then
        result PASS "$c_name" "$c_dt"
    else
        result FAIL "$c_name" "status $c_rc, $c_dt"
        echo "$c_out" | head -30 | sed 's/^/@@|       /' >&4
    fi
}
# verdict NAME DETAIL COMMAND...: PASS when COMMAND succeeds.
verdict() {
    v_name=$1
    v_detail=$2
    shift 2
    if "$@"; then result PASS "$v_name" "$v_detail"; else result FAIL "$v_name" "$v_detail"; fi
}

# A vantrel shell that holds a port open between checks, driven line by line through a FIFO.
# hold DEVICE BAUD: starts it and opens the port; HOLD_PID is the tool's process.
hold() {
    rm -f /tmp/hold.fifo /tmp/hold.out
    mkfifo /tmp/hold.fifo
    : >/tmp/hold.out
    # busybox timeout runs the program in its own process: $! is the tool.
    timeout 60 vantrel shell --device "$1" --baud "$2" </tmp/hold.fifo >/tmp/hold.out 2>&1 &
    HOLD_PID=$!
    exec 5>/tmp/hold.fifo
    tell OpenPort 'OpenPort -> True'
}
# tell LINE REGEX: sends LINE to the held shell and waits (10 s at most) for one more output
# line matching REGEX than there was before.
tell() {
    t_n=$(grep -cE "$2" /tmp/hold.out)
    echo "$1" >&5
    until_true 10 more_than "$t_n" "$2"
}
more_than() { [ "$(grep -cE "$2" /tmp/hold.out)" -gt "$1" ]; }
# release: ends the held shell (10 s at most).
release() {
    echo quit >&5
    exec 5>&-
    until_true 10 gone "$HOLD_PID" || kill -9 "$HOLD_PID"
    wait "$HOLD_PID"
}
gone() { [ ! -d "/proc/$1" ]; }
gone_not() { [ -d "/proc/$1" ]; }
# The held tool's line-event thread: running or absent.
helper_thread() {
    if grep -qx vantrel-lines /proc/"$HOLD_PID"/task/*/comm 2>/dev/null; then echo running; else echo absent; fi
}
# The driver's low-latency flag of DEVICE: set or clear.
low_latency() { if setserial -g -a "$1" | grep -q low_latency; then echo set; else echo clear; fi; }
by_id() { ls /dev/serial/by-id/usb-*QEMU* 2>/dev/null | head -1; }

until_true 20 test -c /dev/ttyUSB0
udevadm settle --timeout=10
BYID=$(by_id)
echo "@@READY $(up)"

# ---------------------------------------------------------------- the devices and their drivers
check "ttyUSB0 is bound to ftdi_sio" '/ftdi_sio$' readlink /sys/class/tty/ttyUSB0/device/driver
check "ttyS1 is a 16550A on the 8250 driver" 'UART: 16550A' setserial -g /dev/ttyS1
verdict "udev made a by-id link for ttyUSB0" "$BYID" test "$(readlink -f "$BYID")" = /dev/ttyUSB0

# ---------------------------------------------------------------- the tool and a C++ host, 9600 baud
for dev in /dev/ttyUSB0 /dev/ttyS1; do
    case $dev in
        *USB*) sim=U value=805.25 ;;
        *) sim=S value=311.5 ;;
    esac
    host set $sim 10 3 $value
    check "cmd PRA on $dev" '^result +True' vantrel cmd --device $dev --baud 9600 PRA
    check "read on $dev: 10-bit channel 3 set to $value in the simulator" \
        "^[^,]*,10,3,$value,True,\$" \
        vantrel read --device $dev --baud 9600 --bits 10 --channel 3 --count 3 --interval 0 --csv
    check "selftest on $dev" '12 +full scale' vantrel selftest --device $dev --baud 9600
    check "C++ host on vantrel::Board, $dev" 'ok +opened' guest_board $dev 9600 $value
done

# ---------------------------------------------------------------- the rate reaches the far end
for dev in /dev/ttyUSB0 /dev/ttyS1; do
    case $dev in *USB*) sim=U ;; *) sim=S ;; esac
    for baud in 9600 115200; do
        seen="port not opened"
        hold $dev $baud && host rate $sim && seen=$ANSWER
        release
        verdict "$dev opened at $baud baud: simulator $sim sees $baud" "seen: $seen" \
            test "$seen" = $baud
    done
done

# ---------------------------------------------------------------- low latency and the line-event thread
# Opened, then closed with ClosePort while the tool goes on running: what opening set must be
# undone by closing, not by the process ending.
# The FTDI latency timer starts at 16 ms, a real chip's own setting (QEMU's model reports 0).
LT=/sys/bus/usb-serial/devices/ttyUSB0/latency_timer
echo 16 >$LT
for dev in /dev/ttyUSB0 /dev/ttyS1; do
    lt0=$(cat $LT)
    f0=$(low_latency $dev)
    hold $dev 9600
    f1=$(low_latency $dev)
    lt1=$(cat $LT)
    t1=$(helper_thread)
    tell ClosePort 'ClosePort -> True'
    f2=$(low_latency $dev)
    lt2=$(cat $LT)
    t2=$(helper_thread)
    release
    verdict "$dev: low latency set on open, restored on close" "flag $f0 -> $f1 -> $f2" \
        test "$f0/$f1/$f2" = clear/set/clear
    verdict "$dev: line-event thread started with the port, stopped with it" "$t1 -> $t2" \
        test "$t1/$t2" = running/absent
    case $dev in
        *USB*) verdict "FTDI latency timer 1 ms while open, put back on close" "$lt0 -> $lt1 -> $lt2" \
            test "$lt0/$lt1/$lt2" = 16/1/16 ;;
    esac
done

# ---------------------------------------------------------------- a break from the far end
brk() { sed -n 's/^1:.* brk:\([0-9]*\).*/\1/p' /proc/tty/driver/serial | grep . || echo 0; }
more_breaks() { [ "$(brk)" -gt "$1" ]; }
b0=$(brk)
hold /dev/ttyS1 9600
host break S
until_true 5 more_breaks "$b0"
b1=$(brk)
verdict "break from the host counted by the 8250 driver on ttyS1" "brk $b0 -> $b1" more_breaks "$b0"
verdict "the tool receives the break as a NUL byte" "" \
    until_true 5 grep -qF 'received "\x00"' /tmp/hold.out
verdict "the next command after the break is answered" "" tell 'Command "PRA"' '^Command -> True'
release

# ---------------------------------------------------------------- find, the ports file, a saved form
# COM1 is the kernel console (never probed); COM2 is /dev/ttyS1 by default.
export VANTREL_PORTS=/tmp/ports.toml
check "find at 9600: the board on COM2, /dev/ttyS1" 'Board found on COM2 \(/dev/ttyS1\)' \
    vantrel find --baud 9600
host fault S silent on
check "find with ttyS1 silent: the USB adapter reached through a free number" \
    'COM([3-8]) is /dev/ttyUSB0 .*for this scan.*COM2 +/dev/ttyS1 +not acknowledged.*Board found on COM[3-8] \(/dev/ttyUSB0\)' \
    sh -c 'set -o pipefail; vantrel find --baud 9600 2>&1 | tr "\n" " "'
check "ports --assign 6=/dev/ttyUSB0 stores the by-id path" "^COM6 = \"$BYID\"\$" \
    sh -c 'vantrel ports --assign 6=/dev/ttyUSB0 >/dev/null 2>&1 && cat /tmp/ports.toml'
check "find --form --save finds the board on COM6 through the by-id path" \
    "Board found on COM6 \\($BYID\\)" \
    vantrel find --baud 9600 --form /tmp/lab.toml --name Board1 --save
check "the form saved COM6" '^Port = 6$' cat /tmp/lab.toml
host fault S silent off
check "read through the saved form" '^[^,]*,10,3,805.25,True,$' \
    vantrel read --form /tmp/lab.toml --name Board1 --bits 10 --channel 3 --count 1 --csv
# Free numbers go to USB adapters only: with COM2 given to the adapter, ttyS1 is reached by no
# number and must not be scanned under a free one.
check "find with COM2 mapped to the adapter: ttyS1 takes no free number" \
    'Board found on COM2 \(/dev/ttyUSB0\)' \
    sh -c 'out=$(vantrel find --baud 9600 --map 2=/dev/ttyUSB0 2>&1); s=$?; echo "$out"
           ! echo "$out" | grep -q "ttyS1.* for this scan" && exit $s'
unset VANTREL_PORTS
# ttyS2 and ttyS3 are the kernel's legacy 8250 slots, with nodes but no UART.
check "ports: the empty slot ttyS2 is not listed, and COM3 (ttyS2) is absent" \
    '^  COM3 +/dev/ttyS2 +default +absent$' \
    sh -c 'out=$(VANTREL_PORTS=/tmp/none.toml vantrel ports); s=$?; echo "$out"
           ! echo "$out" | grep -q "^  /dev/ttyS2 " && exit $s'

# ---------------------------------------------------------------- unplug and plug again (QEMU's monitor)
absent() { [ ! -e /dev/ttyUSB0 ] && [ ! -e "$BYID" ]; }
present() { [ -c /dev/ttyUSB0 ] && [ "$(readlink -f "$BYID")" = /dev/ttyUSB0 ]; }
host unplug
verdict "unplugged: /dev/ttyUSB0 and its by-id link go" "" until_true 10 absent
host plug
verdict "plugged again: /dev/ttyUSB0 and the same by-id link come back" "$BYID" until_true 10 present
udevadm settle --timeout=10
check "cmd PRA through the by-id path after the replug" '^result +True' \
    vantrel cmd --device "$BYID" --baud 9600 PRA
# Another adapter (another serial number) at the same USB port gets a by-id path of its own.
other_present() { [ -c /dev/ttyUSB0 ] && [ -n "$(by_id)" ] && [ "$(by_id)" != "$BYID" ]; }
host unplug
until_true 10 absent
host plug serial=VT0002
until_true 10 other_present
udevadm settle --timeout=10
OTHER=$(by_id)
verdict "plugged as another adapter: another by-id path" "$OTHER" \
    test "$(readlink -f "$OTHER")" = /dev/ttyUSB0 -a "${OTHER#*VT0002}" != "$OTHER"
host unplug
until_true 10 absent
host plug
until_true 10 present
udevadm settle --timeout=10

# ---------------------------------------------------------------- read --reconnect across an unplug
# read_reconnect TIMEOUT: a read on the by-id path that reconnects, in the background, its output
# (both streams) in /tmp/rc.out; RC_PID is the tool's process.
read_reconnect() {
    : >/tmp/rc.out
    timeout 60 vantrel read --device "$BYID" --baud 9600 --bits 10 --channel 3 --count 0 \
        --interval 100 --csv --reconnect --reconnect-timeout "$1" >/tmp/rc.out 2>&1 </dev/null &
    RC_PID=$!
}
readings() { grep -c ',10,3,805.25,True,,ok,' /tmp/rc.out; }
more_readings() { [ "$(readings)" -gt "$1" ]; }
said() { grep -q "$1" /tmp/rc.out; }
show_rc() { sed 's/^/@@|       /' /tmp/rc.out | tail -20 >&4; }
read_reconnect 30
until_true 20 more_readings 0
host unplug
until_true 10 said "the device went away; waiting for $BYID"
n0=$(readings)
host plug
if until_true 20 said "the device is back after" && until_true 10 more_readings "$n0" &&
    grep -qE ',10,3,.*,gap,[^,]+$' /tmp/rc.out && gone_not "$RC_PID"; then
    result PASS "read --reconnect: the adapter unplugged and plugged again, readings go on" \
        "$n0 readings before, $(readings) after"
else
    result FAIL "read --reconnect: the adapter unplugged and plugged again, readings go on"
    show_rc
fi
kill -INT "$RC_PID" 2>/dev/null
until_true 10 gone "$RC_PID"
wait "$RC_PID"

# Another adapter (another serial number) where the first one was: not taken; the read gives up
# when its timeout has passed.
read_reconnect 6
until_true 20 more_readings 0
host unplug
until_true 10 absent
n0=$(readings)
host plug serial=VT0002
until_true 10 other_present
until_true 20 gone "$RC_PID"
wait "$RC_PID"
rc=$?
if [ $rc -eq 1 ] && said "did not come back within 6 s" && [ "$(readings)" = "$n0" ]; then
    result PASS "read --reconnect: another adapter at the same place is not taken" "status $rc"
else
    result FAIL "read --reconnect: another adapter at the same place is not taken" "status $rc"
    show_rc
fi
host unplug
until_true 10 absent
host plug
until_true 10 present

echo "@@UPTIME $(up)"
echo "@@SUMMARY guest $PASS passed, $FAIL failed"
