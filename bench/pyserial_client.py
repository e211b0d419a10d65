#!/usr/bin/python3
"""What a user would otherwise write: pyserial, write b"PRS\\r", read_until(b">").

    pyserial_client.py DEVICE BAUD SECONDS

DEVICE is a path or any URL pyserial opens (rfc2217://HOST:PORT, socket://HOST:PORT).

Runs exchanges for about SECONDS and prints "exchanges wall_seconds cpu_seconds" (CPU time of
this process, counted over the exchanges only)."""
import sys
import time

import serial


def main():
    device, baud, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    port = serial.serial_for_url(device, baud, timeout=1)
    port.reset_input_buffer()
    exchanges = 0
    wall0 = time.monotonic()
    cpu0 = time.process_time()
    while time.monotonic() - wall0 < seconds:
        port.write(b"PRS\r")
        reply = port.read_until(b">")
        if not reply.endswith(b">"):
            sys.exit("pyserial_client: no reply within a second")
        exchanges += 1
    cpu = time.process_time() - cpu0
    wall = time.monotonic() - wall0
    print(f"{exchanges} {wall:.6f} {cpu:.6f}")
    port.close()


if __name__ == "__main__":
    main()
