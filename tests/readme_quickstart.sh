#!/usr/bin/env bash
# Runs the quick start of README.md line for line: once against the simulator in the background,
# once by the same commands (the simulator's lines left out) against a USB adapter of a fake
# machine whose device node leads to a simulated board. Two things differ from a person typing:
# ./build/ is the build under test, and "make demo" runs that build's demo (make demo installs,
# builds, then runs exactly that); after a line that starts a program in the background, the
# script waits for its board to be there, as a person does by reading what it printed.
# Usage: readme_quickstart.sh README.md BUILD_DIR
set -u
readme=$1
build=$(cd "$2" && pwd)
dir=$(mktemp -d)
sims=""
trap 'for p in $sims; do kill "$p" 2>/dev/null; done; rm -rf "$dir"' EXIT

lines=$(awk '/^<!-- quick start -->$/ {on=1; next} /^<!-- end of quick start -->$/ {on=0}
             on && !/^```/' "$readme")
[ -n "$lines" ] || { echo "FAILED: no quick start block in $readme"; exit 1; }

# The lines as a script that stops at the first that fails, with each line shown as it runs.
script_of() {
    echo 'set -e'
    printf '%s\n' "$1" | while IFS= read -r line; do
        run=${line//.\/build\//$build/}
        [ "$line" = "${line#make demo}" ] || run="$build/vantrel demo >/dev/null${line#make demo}"
        printf 'echo %q\n%s\n' "+ $line" "$run"
        if [[ "$line" == *vantrel-sim*"&"* ]]; then
            echo 'i=0; until [ -e "$XDG_RUNTIME_DIR/vantrel-sim-COM1" ] || [ $i -ge 200 ]; do i=$((i+1)); sleep 0.05; done'
        fi
        if [ "$line" != "${line#kill %1}" ]; then echo 'wait %1 || true'; fi
    done
}

failed=0
check() {  # check WHAT ACTUAL EXPECTED
    if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: got '$2', expected '$3'"; failed=1; fi
}

# 1. The simulator in the background, as COM1.
mkdir -p "$dir/sim/run" && chmod 700 "$dir/sim/run"
(
    cd "$dir/sim" &&
        XDG_RUNTIME_DIR="$dir/sim/run" VANTREL_PORTS="$dir/sim/ports.toml" \
            VANTREL_SYSROOT="$dir/sim/no-machine" bash -c "$(script_of "$lines")"
) >"$dir/sim.out" 2>&1
status=$?
cat "$dir/sim.out"
check "the quick start runs against the simulator" "$status" 0
check "COM1 led to the simulator while it ran" \
    "$(grep -q "COM1 .*$dir/sim/run/vantrel-sim-COM1" "$dir/sim.out" && echo yes)" yes
check "the quick start leaves no COM number behind" "$(grep -c '^COM' "$dir/sim/ports.toml")" 0
check "the simulator removed its link" "$([ -e "$dir/sim/run/vantrel-sim-COM1" ] && echo left || echo gone)" gone
check "the form holds the control" "$(grep -c '^\[Board1\]' "$dir/sim/board.toml")" 1
check "the form holds no open port" "$(grep -c 'PortIsOpen' "$dir/sim/board.toml")" 0
doctor_status=$(cd "$dir/sim" && XDG_RUNTIME_DIR="$dir/sim/run" VANTREL_PORTS="$dir/sim/ports.toml" \
    VANTREL_SYSROOT="$dir/sim/no-machine" "$build/vantrel" doctor >/dev/null 2>&1; echo $?)
check "doctor finds no problem after the quick start" "$doctor_status" 0
check "the shell on the saved form reads the channel" "$(grep -c '^ADC10 -> True' "$dir/sim.out")" 1

# 2. The same commands with a USB adapter on a fake machine.
root="$dir/adapter/machine"
usb="$root/sys/devices/pci0/usb1/1-1"
port="$usb/1-1:1.0/ttyUSB0"
mkdir -p "$port/tty/ttyUSB0" "$root/sys/bus/drivers/ftdi_sio" "$root/sys/class/tty" \
    "$root/dev/serial/by-id" "$dir/adapter/run"
ln -s ../../../../../../bus/drivers/ftdi_sio "$port/driver"
ln -s ../../../ttyUSB0 "$port/tty/ttyUSB0/device"
ln -s ../../devices/pci0/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0 "$root/sys/class/tty/ttyUSB0"
echo 0403 >"$usb/idVendor"
echo 6001 >"$usb/idProduct"
echo A50285BI >"$usb/serial"
echo FTDI >"$usb/manufacturer"
echo "FT232R USB UART" >"$usb/product"
by_id="$root/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"
ln -s ../../ttyUSB0 "$by_id"
"$build/vantrel-sim" --no-console --link "$root/dev/ttyUSB0" >/dev/null 2>&1 &
sims="$sims $!"
i=0
until [ -e "$root/dev/ttyUSB0" ] || [ $i -ge 200 ]; do i=$((i + 1)); sleep 0.05; done
adapter_lines=$(printf '%s\n' "$lines" | grep -v -e 'vantrel-sim' -e '^kill %1' -e 'ports --forget')
(
    cd "$dir/adapter" &&
        XDG_RUNTIME_DIR="$dir/adapter/run" VANTREL_PORTS="$dir/adapter/ports.toml" \
            VANTREL_SYSROOT="$root" bash -c "$(script_of "$adapter_lines")"
) >"$dir/adapter.out" 2>&1
status=$?
cat "$dir/adapter.out"
check "the same commands run against an adapter" "$status" 0
check "the shell reads the channel through the adapter" "$(grep -c '^ADC10 -> True' "$dir/adapter.out")" 1
check "find probed the adapter under a free number" \
    "$(grep -c "probing COM1 ($root/dev/ttyUSB0) ..." "$dir/adapter.out")" 1
check "the adapter's number is stored by its by-id path" "$(grep '^COM' "$dir/adapter/ports.toml")" \
    "COM1 = \"$by_id\""
exit $failed
