#!/usr/bin/env bash
# The drivers tier: the vantrel tool and a C++ host on vantrel::Board, run inside a QEMU guest
# against the kernel's own serial drivers, each device wired to a vantrel-sim on this machine.
#
#   tests/drivers/run.sh [BUILD_DIR]        (make test-drivers)
#
# The guest boots Debian's kernel under TCG with
#   - an emulated FTDI adapter (usb-serial on xHCI): guest driver ftdi_sio, /dev/ttyUSB0,
#     /dev/serial/by-id/... made by udev in the guest, behind simulator U;
#   - a second 16550 (isa-serial at 0x2f8): guest driver 8250, /dev/ttyS1, behind simulator S.
# Both are "serial" chardevs on the simulators' pseudo-terminals, so the rate the guest sets
# reaches the simulator's side. QEMU's monitor (a socket in the work folder) sends breaks and
# unplugs and plugs the adapter.
#
# The checks run in the guest (tests/drivers/guest.sh). When one needs the host (a simulator's
# state, a break, unplugging the adapter) it writes "@@HOST SEQ WHAT..." on its console and reads
# "@@ACK SEQ ANSWER" on it. Prints PASS or FAIL per check and "N passed, N failed"; exit status 0
# only when every check passed. Never opens a serial device of this machine: the guest's console
# is QEMU's standard input and output.
#
# Environment: VANTREL_DRIVERS_TIMEOUT (seconds for the whole guest, default 200),
# VANTREL_DRIVERS_WORK (work folder, default BUILD_DIR/drivers), VANTREL_DRIVERS_VERBOSE=1 (the
# guest's console as it runs).
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "${1:-$HERE/../../build}" && pwd)
WORK=${VANTREL_DRIVERS_WORK:-$BUILD/drivers}
TIMEOUT=${VANTREL_DRIVERS_TIMEOUT:-200}
VERBOSE=${VANTREL_DRIVERS_VERBOSE:-0}
T0=$(date +%s.%N)

since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN {printf "%.1f", b - a}'; }
say() { echo "drivers [$(since "$T0") s] $*"; }
die() {
    say "ERROR: $*"
    echo "0 passed, 1 failed"
    exit 1
}

# ------------------------------------------------------------------------------- packages
# qemu-system-x86: the machine; linux-image-amd64: the guest's kernel and its modules;
# busybox-static: the guest's shell and tools; udev: /dev/serial/by-id in the guest; setserial:
# the drivers' flags; python3: talks to QEMU's monitor socket.
packages=(qemu-system-x86 linux-image-amd64 busybox-static udev setserial python3)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    say "installing: ${missing[*]}"
    $sudo apt-get update -qq
    # INITRD=No: the kernel is only booted by QEMU with our own initramfs; the host's initramfs
    # generator has nothing to do for it.
    $sudo env DEBIAN_FRONTEND=noninteractive INITRD=No \
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
for f in vantrel vantrel-sim tests/guest_board; do
    [ -x "$BUILD/$f" ] || die "$BUILD/$f is missing: build first (make build)"
done
KVER=$(find /boot -maxdepth 1 -name 'vmlinuz-*' -printf '%f\n' | sed 's/^vmlinuz-//' | sort -V | tail -1)
if [ -z "$KVER" ] || [ ! -r "/boot/vmlinuz-$KVER" ] || [ ! -d "/lib/modules/$KVER" ]; then
    die "no readable kernel with modules in /boot"
fi

# ------------------------------------------------------------------------------- work folder
mkdir -p "$WORK"
rm -rf "${WORK:?}/root" "$WORK"/*.fifo "$WORK"/*.sock "$WORK"/*.log
PIDS=()
QPID=
cleanup() {
    [ -n "$QPID" ] && kill "$QPID" 2>/dev/null
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT

# ------------------------------------------------------------------------------- simulators
# U behind the guest's /dev/ttyUSB0, S behind its /dev/ttyS1. Each reads operator commands
# from a FIFO held open here; its answers and the command lines it served go to its log.
declare -A SIMFD SIMPTY
start_sim() {
    local name=$1 log=$WORK/sim-$1.log fd
    mkfifo "$WORK/sim-$name.fifo"
    "$BUILD/vantrel-sim" --console --log <"$WORK/sim-$name.fifo" >"$log" 2>&1 &
    PIDS+=($!)
    exec {fd}>"$WORK/sim-$name.fifo"
    SIMFD[$name]=$fd
    for _ in $(seq 250); do
        [[ $(head -1 "$log") == /dev/pts/* ]] && break
        sleep 0.02
    done
    SIMPTY[$name]=$(head -1 "$log")
    [[ ${SIMPTY[$name]} == /dev/pts/* ]] || die "simulator $name did not start: $(cat "$log")"
}
start_sim U
start_sim S

# sim NAME COMMAND: runs a console command on simulator NAME and waits (5 s at most) until it
# has been served: a "status" sent after it has answered. Prints that status's line rate.
sim() {
    local log=$WORK/sim-$1.log n
    n=$(grep -c '^line .*, line rate' "$log" || true)
    printf '%s\nstatus\n' "$2" >&"${SIMFD[$1]}"
    for _ in $(seq 250); do
        [ "$(grep -c '^line .*, line rate' "$log")" -gt "$n" ] && break
        sleep 0.02
    done
    [ "$(grep -c '^line .*, line rate' "$log")" -gt "$n" ] || return 1
    grep -o 'line rate [0-9]*' "$log" | tail -1 | awk '{print $3}'
}

# ------------------------------------------------------------------------------- QEMU's monitor
# monitor COMMAND: one command through QEMU's human monitor on its socket; prints the answer.
# Fails when QEMU cannot be reached within 10 s or the answer is an error.
monitor() {
    timeout 15 python3 - "$WORK/monitor.sock" "$1" <<'PY'
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.settimeout(10)
s.connect(sys.argv[1])
def answer():
    data = b""
    while not data.endswith(b"(qemu) "):
        more = s.recv(4096)
        if not more:
            sys.exit("monitor closed")
        data += more
    return data.decode(errors="replace")
answer()
s.sendall(sys.argv[2].encode() + b"\n")
text = answer().replace("\r", "")
# The monitor echoes the command line (with terminal escapes); what follows it is the answer.
lines = [l for l in text.split("\n")[1:] if l.strip() and not l.startswith("(qemu)")]
print("\n".join(lines))
sys.exit(1 if any("Error" in l for l in lines) else 0)
PY
}

# The emulated FTDI adapter, by the id and USB port it always gets: a replug comes back at the
# same place, so udev gives it the same by-id path. PROPS (serial=...) make another adapter.
usb_adapter() { echo "usb-serial,id=adapterU,bus=xhci.0,port=1,chardev=simU${1:+,$1}"; }
unplug_adapter() { monitor "device_del adapterU"; }
plug_adapter() { monitor "device_add $(usb_adapter "${1:-}")"; }

# ------------------------------------------------------------------------------- initramfs
R=$WORK/root
mkdir -p "$R"/{bin,dev,proc,sys,tmp,run,etc} "$R/lib/udev/rules.d" "$R/etc/udev"
cp /bin/busybox "$R/bin/busybox"
strip -o "$R/bin/vantrel" "$BUILD/vantrel"
cp "$BUILD/tests/guest_board" "$R/bin/guest_board"
cp "$(command -v setserial)" "$R/bin/setserial"
cp /lib/systemd/systemd-udevd "$R/bin/udevd"
cp "$(command -v udevadm)" "$R/bin/udevadm"
cp /lib/udev/rules.d/60-serial.rules "$R/lib/udev/rules.d/"
cp "$HERE/guest.sh" "$R/guest.sh"
# The libraries the programs load: the system's at the paths ldd names, the project's own
# (libvantrel.so from the build folder) in the guest's library folder beside libc. The loader
# looks there once the run path fails, and the run path names the build folder, which the guest
# would hide when it lies under /tmp (the guest's /tmp is a tmpfs of its own).
guest_libs=$(dirname "$(ldd "$R/bin/vantrel" | awk '$1 ~ /^libc\.so/ {print $3}')")
[ -n "$guest_libs" ] || die "ldd names no libc for $BUILD/vantrel"
mkdir -p "$R$guest_libs"
ldd "$R"/bin/{vantrel,guest_board,setserial,udevd,udevadm} |
    awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// && $1 !~ /:$/ {print $1}' | sort -u |
    while read -r lib; do
        case $lib in
            /lib/* | /lib64/* | /usr/lib/*) cp -L --parents "$lib" "$R" ;;
            *) cp -L "$lib" "$R$guest_libs/" ;;
        esac
    done
# Nothing at the build folder's path in the guest: the programs load the project's library the
# same way whether the clone lies under /tmp or anywhere else.
[ ! -e "$R$BUILD" ] || die "the guest holds $BUILD, which its /tmp may hide"
# Kernel modules (8250 is built in): each one after those modules.dep says it needs.
: >"$R/etc/modules"
for target in xhci-pci ftdi_sio; do
    line=$(grep -E "/${target}\.ko(\.[a-z]+)?:" "/lib/modules/$KVER/modules.dep" | head -1)
    [ -n "$line" ] || die "module $target not in /lib/modules/$KVER"
    read -r -a deps <<<"${line#*:}"
    # modules.dep lists what a module needs nearest first: load them from the far end.
    order=()
    for ((i = ${#deps[@]} - 1; i >= 0; i--)); do order+=("${deps[i]}"); done
    for m in "${order[@]}" "${line%%:*}"; do
        grep -qxF "/lib/modules/$KVER/$m" "$R/etc/modules" && continue
        cp --parents "/lib/modules/$KVER/$m" "$R"
        echo "/lib/modules/$KVER/$m" >>"$R/etc/modules"
    done
done
cat >"$R/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/pts
mount -t devpts devpts /dev/pts
mount -t tmpfs tmp /tmp
mount -t tmpfs run /run
export PATH=/bin HOME=/tmp
sh /guest.sh
echo "@@END"
poweroff -f
INIT
chmod +x "$R/init"
# Left uncompressed: under TCG, unpacking costs more than reading the bigger file.
(cd "$R" && find . | busybox cpio -o -H newc 2>/dev/null) >"$WORK/initramfs.cpio"
say "initramfs $(du -h "$WORK/initramfs.cpio" | cut -f1) for kernel $KVER"

# ------------------------------------------------------------------------------- the guest
mkfifo "$WORK/console-out.fifo" "$WORK/console-in.fifo"
: >"$WORK/console.log"
timeout -s KILL "$TIMEOUT" qemu-system-x86_64 \
    -accel tcg -smp 1 -m 512 -nographic -no-reboot -nic none \
    -monitor "unix:$WORK/monitor.sock,server=on,wait=off" -serial stdio \
    -kernel "/boot/vmlinuz-$KVER" -initrd "$WORK/initramfs.cpio" \
    -append "console=ttyS0 panic=-1 quiet loglevel=3" \
    -device qemu-xhci,id=xhci \
    -chardev "serial,id=simU,path=${SIMPTY[U]}" -device "$(usb_adapter)" \
    -chardev "serial,id=simS,path=${SIMPTY[S]}" -device isa-serial,index=1,chardev=simS \
    <"$WORK/console-in.fifo" >"$WORK/console-out.fifo" 2>&1 &
QPID=$!
exec {CONSOLE_IN}>"$WORK/console-in.fifo"
say "QEMU started (TCG; U on ${SIMPTY[U]}, S on ${SIMPTY[S]}); at most $TIMEOUT s"

# What the guest asks of the host. Every answer is one line.
serve() {
    case $1 in
        set) sim "$2" "set $3 $4 $5" >/dev/null && echo ok ;;     # set U BITS CHANNEL VALUE
        fault) sim "$2" "fault $3 $4" >/dev/null && echo ok ;;    # fault U silent on|off
        rate) sim "$2" status ;;                                  # rate U: the line rate seen
        break) monitor "chardev-send-break sim$2" >/dev/null && echo ok ;;  # break S
        unplug) unplug_adapter >/dev/null && echo ok ;;
        plug) plug_adapter "${2:-}" >/dev/null && echo ok ;;
        *) echo "unknown request $1" ;;
    esac
}

ENDED=0
while IFS= read -r line; do
    line=${line%$'\r'}
    printf '%s\n' "$line" >>"$WORK/console.log"
    [ "$VERBOSE" = 1 ] && printf 'guest| %s\n' "$line"
    case $line in
        "@@HOST "*)
            read -r _ seq request <<<"$line"
            # shellcheck disable=SC2086  # the request's words are its arguments
            answer=$(serve $request 2>&1 | tr '\n' ' ') || true
            printf '@@ACK %s %s\n' "$seq" "${answer:-failed}" >&"$CONSOLE_IN" ;;
        "@@T "* | "@@|"*) echo "${line#@@[T|] }" ;;
        "@@END"*) ENDED=1 ;;
    esac
done <"$WORK/console-out.fifo"
wait "$QPID" && qrc=0 || qrc=$?
QPID=

passed=$(grep -c '^@@T PASS' "$WORK/console.log" || true)
failed=$(grep -c '^@@T FAIL' "$WORK/console.log" || true)
if [ "$ENDED" != 1 ]; then
    echo "FAIL the guest ran to its end (QEMU status $qrc; timeout $TIMEOUT s; console in $WORK/console.log)"
    tail -20 "$WORK/console.log" | sed 's/^/      /'
    failed=$((failed + 1))
fi
uptime=$(grep -o '@@UPTIME [0-9.]*' "$WORK/console.log" | tail -1 | cut -d' ' -f2)
say "done${uptime:+ (the guest ran $uptime s from boot to its last check)}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
