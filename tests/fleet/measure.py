#!/usr/bin/env python3
"""What a central mosquitto and influxd take on this machine, for docs/fleet.md.

Starts both on 127.0.0.1 in a scratch directory, sends N readings shaped as vantrel sends them
(QoS 1 JSON messages on vantrel/BOARD/CHANNEL; InfluxDB lines in batches), and prints the rate
and the CPU seconds each server used per 10,000 readings.

Usage: measure.py [N [BATCH]]    (100000 readings, InfluxDB batches of 5000 unless given; a
host at 1 Hz with 8 boards of 8 channels sends batches of 64)
"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

N = int(sys.argv[1]) if len(sys.argv) > 1 else 100000
BATCH = int(sys.argv[2]) if len(sys.argv) > 2 else 5000
TICK = os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def until(cond, bound):
    end = time.monotonic() + bound
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(0.05)
    raise SystemExit("gave up after %ds" % bound)


def reachable(port):
    try:
        socket.create_connection(("127.0.0.1", port), 1).close()
        return True
    except OSError:
        return False


def reading(i):
    board, ch = "h%03db%d" % (i % 100, i % 8), "c%d" % (i // 800 % 8)
    return board, ch, ('{"time":"2026-12-08T15:00:00.%03dZ","mono":%d.000,"board":"%s","bits":12,'
                       '"channel":%d,"name":"%s","raw":%d,"value":%d,"unit":"","status":"ok"}'
                       % (i % 1000, i, board, i % 8, ch, i % 4096, i % 4096))


def mosquitto(d):
    port = free_port()
    with open(os.path.join(d, "m.conf"), "w") as f:
        f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence true\n"
                "persistence_location %s/\nmax_queued_messages 0\n" % (port, d))
    server = subprocess.Popen(["mosquitto", "-c", os.path.join(d, "m.conf")],
                              stderr=subprocess.DEVNULL)
    try:
        until(lambda: reachable(port), 10)
        # A persistent session subscribed first, so that no message precedes the subscription.
        sub = ["mosquitto_sub", "-p", str(port), "-t", "vantrel/#", "-q", "1", "-c", "-i", "m"]
        subprocess.run(sub + ["-E"], check=True, timeout=10)
        sub = subprocess.Popen(sub + ["-C", str(N)], stdout=subprocess.DEVNULL)
        # One publisher a host, each holding its connection, as the bridges do.
        hosts = 10
        lines = [[] for _ in range(hosts)]
        for i in range(N):
            board, ch, payload = reading(i)
            lines[i % hosts].append(payload)
        c0, t0 = cpu(server.pid), time.monotonic()
        pubs = [subprocess.Popen(["mosquitto_pub", "-p", str(port), "-q", "1", "-t",
                                  "vantrel/h%d/c" % h, "-l"], stdin=subprocess.PIPE)
                for h in range(hosts)]
        for p, part in zip(pubs, lines):
            p.stdin.write(("\n".join(part) + "\n").encode())
            p.stdin.close()
        sub.wait(300)
        t1, c1 = time.monotonic(), cpu(server.pid)
        for p in pubs:
            p.wait(60)
        print("mosquitto: %d QoS 1 messages from %d publishers to 1 subscriber in %.2f s: "
              "%.0f messages/s, broker CPU %.2f s (%.3f s per 10,000)"
              % (N, hosts, t1 - t0, N / (t1 - t0), c1 - c0, (c1 - c0) * 10000 / N))
    finally:
        server.terminate()
        server.wait(20)


def influxd(d):
    http, rpc = free_port(), free_port()
    with open(os.path.join(d, "i.conf"), "w") as f:
        f.write('reporting-disabled = true\nbind-address = "127.0.0.1:%d"\n[meta]\n dir = "%s/meta"'
                '\n[data]\n dir = "%s/data"\n wal-dir = "%s/wal"\n query-log-enabled = false\n'
                '[monitor]\n store-enabled = false\n[http]\n bind-address = "127.0.0.1:%d"\n'
                ' log-enabled = false\n' % (rpc, d, d, d, http))
    server = subprocess.Popen(["influxd", "-config", os.path.join(d, "i.conf")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        until(lambda: reachable(http), 30)
        base = "http://127.0.0.1:%d" % http
        urllib.request.urlopen(urllib.request.Request(
            base + "/query", data=b"q=CREATE DATABASE fleet"), timeout=10).read()
        # 6,400 series (100 hosts x 8 boards x 8 channels), one point each a second.
        start_ns = 1796738400 * 10**9
        lines = []
        for i in range(N):
            s = i % 6400
            lines.append("vantrel,board=h%03db%d,bits=12,channel=%d,name=c%d value=%d,raw=%d,"
                         "status=\"ok\" %d\n" % (s // 64, s // 8 % 8, s % 8, s % 8, i % 4096,
                                                 i % 4096, start_ns + (i // 6400) * 10**9))
        batch = BATCH
        c0, t0 = cpu(server.pid), time.monotonic()
        for i in range(0, N, batch):
            body = "".join(lines[i:i + batch]).encode()
            urllib.request.urlopen(urllib.request.Request(
                base + "/write?db=fleet&precision=ns", data=body), timeout=60).read()
        t1, c1 = time.monotonic(), cpu(server.pid)
        print("influxd: %d points over 6,400 series in batches of %d in %.2f s: %.0f points/s, "
              "server CPU %.2f s (%.3f s per 10,000)"
              % (N, batch, t1 - t0, N / (t1 - t0), c1 - c0, (c1 - c0) * 10000 / N))
    finally:
        server.terminate()
        server.wait(30)


d = tempfile.mkdtemp(prefix="vantrel-measure-")
try:
    os.mkdir(os.path.join(d, "m"))
    os.mkdir(os.path.join(d, "i"))
    mosquitto(os.path.join(d, "m"))
    influxd(os.path.join(d, "i"))
finally:
    shutil.rmtree(d)
