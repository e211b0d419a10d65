#!/usr/bin/python3
"""Three hosts and a central one as network namespaces, with a fault schedule.

Each host: two simulated boards with moving inputs (and their conversion logs), one
`vantrel serve` per board (TCP with a token file), a `vantrel log` through the serve sockets
publishing to its own mosquitto (bridged to the central one, persistent and queued) and to the
central InfluxDB. The central one: mosquitto, influxd, two persistent subscribers and a central
`vantrel log` reading one board of each host over vantrel:// with that host's token.

Faults: host 1's link down for LINK_DOWN seconds, the central broker and influxd restarted, host
2's recorder killed (and started again on its file, as a service manager would). At the end every
reading each recorder wrote must be in the central InfluxDB exactly once, on both subscribers in
order per channel, and among the conversions its board made. Any loss is reported and the exit status is 1.

Usage: fleet.py BUILD_DIR    (as root; LINK_DOWN=seconds, 15 unless given)
"""
import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.parse

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
TOOL = os.path.join(BUILD, "vantrel")
SIM = os.path.join(BUILD, "vantrel-sim")
LINK_DOWN = float(os.environ.get("LINK_DOWN", "15"))
TAG = "vf%d" % os.getpid()  # every name made here carries it, so that cleanup takes only ours
NET = TAG + "-net"  # the namespace holding the bridge: nothing of it in the machine's own
CENTRAL = TAG + "-c"
HOSTS = [TAG + "-h%d" % i for i in (1, 2, 3)]
ADDR = {CENTRAL: "10.77.0.1"}
ADDR.update({h: "10.77.0.%d" % (11 + i) for i, h in enumerate(HOSTS)})
BOARDS = ("b1", "b2")
# Each board: a 10-bit channel on a ramp, a 12-bit one on a sine; phases differ by host.
CHANNELS = ((10, 3), (12, 5))
HOST_PERIOD = 0.2
CENTRAL_PERIOD = 0.5

work = tempfile.mkdtemp(prefix="vantrel-fleet-")
os.chmod(work, 0o711)
procs = []  # (name, Popen) of everything started, ended in reverse on every exit path
made_ns = []


def say(text):
    print("fleet: " + text, flush=True)


def run(*args, check=True):
    return subprocess.run(args, check=check, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, timeout=30)


def start(ns, name, args):
    out = open(os.path.join(work, name + ".out"), "w")
    p = subprocess.Popen(["ip", "netns", "exec", ns] + args, stdout=out, stderr=subprocess.STDOUT,
                         stdin=subprocess.DEVNULL, cwd=work)
    procs.append((name, p))
    return p


def stop(p, sig=signal.SIGTERM, bound=20):
    if p.poll() is None:
        p.send_signal(sig)
        try:
            p.wait(bound)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait(5)


def until(what, cond, bound):
    """Polls cond until it holds, at most bound seconds; says so and returns False when not."""
    end = time.monotonic() + bound
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(0.1)
    say("gave up waiting (%ds) for %s" % (bound, what))
    return False


def cleanup():
    for name, p in reversed(procs):
        stop(p, bound=10)
    for ns in reversed(made_ns):
        run("ip", "netns", "del", ns, check=False)
    if os.environ.get("KEEP") is None:
        run("rm", "-rf", work, check=False)
    else:
        say("kept " + work)


def on_signal(signum, _frame):
    raise SystemExit(128 + signum)


def tcp_open(ns, addr, port):
    return run("ip", "netns", "exec", ns, "bash", "-c",
               "exec 3<>/dev/tcp/%s/%d" % (addr, port), check=False).returncode == 0


def make_network():
    for ns in [NET, CENTRAL] + HOSTS:
        run("ip", "netns", "add", ns)
        made_ns.append(ns)
        run("ip", "-n", ns, "link", "set", "lo", "up")
    run("ip", "-n", NET, "link", "add", "br0", "type", "bridge")
    run("ip", "-n", NET, "link", "set", "br0", "up")
    for i, ns in enumerate([CENTRAL] + HOSTS):
        # Both ends are made inside the bridge's namespace, then one is moved: the machine's own
        # namespace never holds either.
        run("ip", "-n", NET, "link", "add", "p%d" % i, "type", "veth", "peer", "name", "e%d" % i)
        run("ip", "-n", NET, "link", "set", "e%d" % i, "netns", ns, "name", "eth0")
        run("ip", "-n", NET, "link", "set", "p%d" % i, "master", "br0", "up")
        run("ip", "-n", ns, "addr", "add", ADDR[ns] + "/24", "dev", "eth0")
        run("ip", "-n", ns, "link", "set", "eth0", "up")


def write(path, text, mode=0o644):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)
    return path


def mosquitto_conf(ns, bridge_to=None):
    d = os.path.join(work, ns + "-mq")
    os.makedirs(d, exist_ok=True)
    # Started as root, mosquitto runs as its own user: its store must be that user's, or every
    # save fails and a restart forgets the queues.
    shutil.chown(d, "mosquitto", "mosquitto")
    text = ("per_listener_settings false\nallow_anonymous true\npersistence true\n"
            "persistence_location %s/\nautosave_interval 1\nmax_queued_messages 0\n"
            "max_inflight_messages 1\nlistener 1883 %s\n" % (d, ADDR[ns]))
    if bridge_to:
        # A persistent session at the central broker and an unbounded queue here: what the
        # partition holds back goes out, in order, when the link is back.
        text += ("connection central\naddress %s:1883\ntopic vantrel/# out 1\n"
                 "cleansession false\nlocal_clientid %s-local\nremote_clientid %s-bridge\n"
                 "bridge_protocol_version mqttv311\nrestart_timeout 1 5\n"
                 "keepalive_interval 5\n" % (bridge_to, ns, ns))
    return write(os.path.join(d, "mosquitto.conf"), text)


def influx_conf():
    d = os.path.join(work, "influx")
    return write(os.path.join(work, "influxdb.conf"),
                 'reporting-disabled = true\nbind-address = "127.0.0.1:8088"\n'
                 '[meta]\n  dir = "%s/meta"\n[data]\n  dir = "%s/data"\n  wal-dir = "%s/wal"\n'
                 '  query-log-enabled = false\n[monitor]\n  store-enabled = false\n'
                 '[http]\n  bind-address = "%s:8086"\n  log-enabled = false\n'
                 % (d, d, d, ADDR[CENTRAL]))


def influx_query(q):
    """The central InfluxDB, asked from inside the central namespace."""
    url = "http://%s:8086/query?db=fleet&epoch=ms&q=%s" % (ADDR[CENTRAL], urllib.parse.quote(q))
    r = run("ip", "netns", "exec", CENTRAL, "python3", "-c",
            "import sys,urllib.request;"
            "sys.stdout.write(urllib.request.urlopen(sys.argv[1],timeout=10).read().decode())",
            url, check=False)
    if r.returncode != 0:
        return None
    return json.loads(r.stdout)


def influx_count():
    j = influx_query("SELECT count(status) FROM vantrel")
    try:
        return j["results"][0]["series"][0]["values"][0][1]
    except (TypeError, KeyError, IndexError):
        return 0


def start_central_broker():
    return start(CENTRAL, "central-mosquitto-%d" % time.monotonic_ns(),
                 ["mosquitto", "-c", os.path.join(work, CENTRAL + "-mq", "mosquitto.conf")])


def start_influxd():
    return start(CENTRAL, "influxd-%d" % time.monotonic_ns(),
                 ["influxd", "-config", os.path.join(work, "influxdb.conf")])


def run_file(ns, out, boards, period):
    """A recorder's run file: its readings to its own namespace's broker and to central InfluxDB."""
    text = 'out = "%s"\nperiod = %s\n[publish]\nmqtt = "mqtt://%s/vantrel"\n' % (
        out, period, ADDR[ns])
    text += 'influx = "http://%s:8086/fleet"\n' % ADDR[CENTRAL]
    for board, device, channels in boards:
        text += '[[board]]\nname = "%s"\ndevice = "%s"\n' % (board, device)
        for bits, ch in channels:
            text += '  [[board.channel]]\n  name = "c%d_%d"\n  bits = %d\n  channel = %d\n' % (
                bits, ch, bits, ch)
    return write(os.path.splitext(out)[0] + ".toml", text)


def read_records(path):
    """The ok readings of a recording (SQLite), in the order they were written."""
    if not os.path.exists(path):
        return []
    db = sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=10)
    db.row_factory = sqlite3.Row
    try:
        rows = [dict(r) for r in db.execute("SELECT * FROM readings ORDER BY rowid")]
    except sqlite3.OperationalError:
        rows = []  # no table yet
    finally:
        db.close()
    return [r for r in rows if r.get("status") == "ok"]


def key(r):
    return (r["board"], r["bits"], r["channel"])


def sim_conversions(path):
    """(bits, channel) -> the readings the board converted, in order."""
    seq = {}
    with open(path) as f:
        next(f)
        for line in f:
            _, _, bits, ch, _, reading = line.strip().split(",")
            seq.setdefault((int(bits), int(ch)), []).append(float(reading))
    return seq


def is_subsequence(part, whole):
    it = iter(whole)
    return all(any(x == y for y in it) for x in part)


def main():
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    if os.geteuid() != 0:
        say("needs root (network namespaces)")
        return 2
    make_network()
    say("namespaces %s, work %s" % (", ".join([NET, CENTRAL] + HOSTS), work))

    # The central side.
    mosquitto_conf(CENTRAL)
    influx_conf()
    start_central_broker()
    start_influxd()
    if not until("the central broker and influxd", lambda: tcp_open(
            CENTRAL, ADDR[CENTRAL], 1883) and tcp_open(CENTRAL, ADDR[CENTRAL], 8086), 30):
        return 1
    subs = []
    for i in (1, 2):
        path = os.path.join(work, "sub%d.txt" % i)
        out = open(path, "w")
        p = subprocess.Popen(["ip", "netns", "exec", CENTRAL, "mosquitto_sub", "-h",
                              ADDR[CENTRAL], "-t", "vantrel/#", "-q", "1", "-c", "-i",
                              "fleet-sub%d" % i, "-F", "%p"], stdout=out,
                             stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        procs.append(("sub%d" % i, p))
        subs.append(path)

    # The hosts.
    recorders = {}
    central_boards = []
    for n, host in enumerate(HOSTS, 1):
        mosquitto_conf(host, bridge_to=ADDR[CENTRAL])
        start(host, host + "-mosquitto",
              ["mosquitto", "-c", os.path.join(work, host + "-mq", "mosquitto.conf")])
        token = write(os.path.join(work, host + ".token"), "fleet-token-%s-%s\n" % (
            host, os.urandom(8).hex()), 0o600)
        devices = []
        for bi, b in enumerate(BOARDS):
            name = "h%d%s" % (n, b)
            link = os.path.join(work, name + ".pty")
            start(host, name + "-sim", [SIM, "--link", link, "--no-console", "--log",
                                        os.path.join(work, name + ".conv.csv"),
                                        "--input", "10 3 ramp 0 1023 %ds" % (7 + n + bi),
                                        "--input", "12 5 sine 2048 1800 %ds" % (5 + n)])
            if not until(name + "'s simulator", lambda: os.path.exists(link), 10):
                return 1
            sock = os.path.join(work, name + ".sock")
            port = 7421 + bi
            start(host, name + "-serve", [TOOL, "serve", "--device", link, "--name", name,
                                          "--socket", sock, "--listen",
                                          "%s:%d" % (ADDR[host], port), "--allow-remote",
                                          "--token-file", token])
            if not until(name + "'s serve", lambda: os.path.exists(sock) and tcp_open(
                    host, ADDR[host], port), 10):
                return 1
            devices.append((name, "unix://%s#%s" % (sock, name), CHANNELS))
            if bi == 0:
                central_boards.append((
                    "c-" + name, "vantrel://%s:%d?token-file=%s#%s" % (ADDR[host], port, token,
                                                                       name), ((10, 3),)))
        if not until(host + "'s broker", lambda: tcp_open(host, ADDR[host], 1883), 10):
            return 1
        out = os.path.join(work, host + ".sqlite")
        recorders[host] = [(out, start(host, host + "-log-1", [
            TOOL, "log", "--config", run_file(host, out, devices, HOST_PERIOD)]), devices)]
    central_out = os.path.join(work, "central.sqlite")
    central_log = start(CENTRAL, "central-log", [
        TOOL, "log", "--config", run_file(CENTRAL, central_out, central_boards,
                                          CENTRAL_PERIOD)])

    def rows_in(path):
        return len(read_records(path))

    if not until("readings from every recorder", lambda: all(
            rows_in(recorders[h][0][0]) > 10 for h in HOSTS) and rows_in(central_out) > 3, 30):
        return 1
    if not until("readings in InfluxDB", lambda: influx_count() > 0, 30):
        return 1

    say("host 1's link down for %gs" % LINK_DOWN)
    run("ip", "-n", NET, "link", "set", "p1", "down")
    time.sleep(LINK_DOWN)  # the outage itself: its length is the fault, not a wait
    run("ip", "-n", NET, "link", "set", "p1", "up")
    back = time.time()

    def central_reads_h1_since(t):
        return sum(r["board"] == "c-h1b1" and iso_ms(r["time"]) / 1000 > t
                   for r in read_records(central_out))

    # Not one read that was waiting when the link came back: the recorder reading again.
    stalled = not until("the central recorder to read host 1's board again",
                        lambda: central_reads_h1_since(back) >= 5, 20)

    say("the central broker restarted")
    broker = [p for name, p in procs if name.startswith("central-mosquitto")][-1]
    stop(broker)
    time.sleep(3)  # down for a while, so that the bridges queue
    start_central_broker()
    if not until("the central broker back", lambda: tcp_open(CENTRAL, ADDR[CENTRAL], 1883), 20):
        return 1

    # Host 2's recorder dies while influxd is away, holding what it could not write yet.
    held_from = rows_in(recorders[HOSTS[1]][0][0])
    say("influxd stopped; host 2's recorder killed and started again on its file")
    influxd = [p for name, p in procs if name.startswith("influxd")][-1]
    stop(influxd)
    h2 = HOSTS[1]
    until("host 2's recorder to record during the outage",
          lambda: rows_in(recorders[h2][0][0]) >= held_from + 8, 10)
    _, first, devices = recorders[h2][0]
    stop(first, signal.SIGKILL)
    out = recorders[h2][0][0]
    before = rows_in(out)
    recorders[h2].append((out, start(h2, h2 + "-log-2", [
        TOOL, "log", "--config", run_file(h2, out, devices, HOST_PERIOD)]), devices))
    until("host 2's new recorder", lambda: rows_in(out) > before + 8, 20)
    say("influxd started again")
    start_influxd()
    if not until("influxd back", lambda: tcp_open(CENTRAL, ADDR[CENTRAL], 8086), 30):
        return 1
    until("host 2's new recorder to record with influxd back",
          lambda: rows_in(out) > before + 40, 20)

    say("recording ends")
    for h in HOSTS:
        stop(recorders[h][-1][1])
    stop(central_log)
    files = sorted({o for h in HOSTS for o, _, _ in recorders[h]}) + [central_out]
    expected = [r for f in files for r in read_records(f)]
    say("%d readings recorded in %d files" % (len(expected), len(files)))

    # The outputs catch up (bounded), then everything is compared.
    until("InfluxDB to hold every reading", lambda: influx_count() >= len(expected), 60)

    def sub_rows(path):
        # The outputs' availability messages ("online") are not readings; the file's ok ones
        # are compared, as failed reads carry no reading.
        with open(path) as f:
            rows = [json.loads(line) for line in f if line.startswith("{")]
        return [r for r in rows if r.get("status") == "ok"]

    until("the subscribers to hold every reading",
          lambda: all(len(sub_rows(s)) >= len(expected) for s in subs), 60)

    lost = 0
    wrong = 0  # series with readings twice, out of order, or never recorded
    by_key = {}
    for r in expected:
        by_key.setdefault(key(r), []).append(r)

    # InfluxDB: per series, each recorded time once, with its reading.
    for k, rows in sorted(by_key.items()):
        j = influx_query("SELECT raw FROM vantrel WHERE board = '%s' AND bits = '%d' AND "
                         "channel = '%d'" % k)
        try:
            got = [(t, float(v)) for t, v in j["results"][0]["series"][0]["values"]]
        except (TypeError, KeyError, IndexError):
            got = []
        want = [(iso_ms(r["time"]), float(r["raw"])) for r in rows]
        missing = sorted(set(want) - set(got))
        extra = len(got) - len(set(got) & set(want))
        if missing or extra or len(got) != len(want):
            lost += len(missing)
            wrong += extra > 0 or len(got) != len(set(got))
            say("LOSS influx %s: %d recorded, %d held, %d missing (first %s, last %s), %d not "
                "recorded" % (k, len(want), len(got), len(missing),
                              fmt_ms(missing[0][0]) if missing else "-",
                              fmt_ms(missing[-1][0]) if missing else "-", extra))

    # The subscribers: per channel, the recorded readings in order, each once.
    for s in subs:
        got = {}
        dup = 0
        seen = set()
        for r in sub_rows(s):
            t = (r["time"], r["board"], r["bits"], r["channel"])
            if t in seen:
                dup += 1
                continue
            seen.add(t)
            got.setdefault(key(r), []).append(r)
        if dup:
            say("%s: %d duplicate messages (QoS 1 may redeliver)" % (os.path.basename(s), dup))
        for k, rows in sorted(by_key.items()):
            want = [(r["time"], r["raw"]) for r in rows]
            have = [(r["time"], r["raw"]) for r in got.get(k, [])]
            if have != want:
                missing = [w for w in want if w not in set(have)]
                lost += len(missing)
                wrong += len(missing) == 0
                in_order = have == sorted(have)
                say("LOSS mqtt %s %s: %d recorded, %d received, %d missing (first %s, last %s)%s"
                    % (os.path.basename(s), k, len(want), len(have), len(missing),
                       missing[0][0] if missing else "-", missing[-1][0] if missing else "-",
                       "" if in_order else ", out of order"))

    # Every recorded reading is one the board converted, in the board's order.
    bad = 0
    for n, host in enumerate(HOSTS, 1):
        for b in BOARDS:
            name = "h%d%s" % (n, b)
            conv = sim_conversions(os.path.join(work, name + ".conv.csv"))
            for (board, bits, ch), rows in by_key.items():
                if board in (name, "c-" + name):
                    for f in files:  # each recorder's file in its own order
                        seq = [r["raw"] for r in read_records(f) if key(r) == (board, bits, ch)]
                        if seq and not is_subsequence(seq, conv.get((bits, ch), [])):
                            bad += 1
                            say("WRONG %s %s: readings the board did not convert" % (f, board))
    if stalled:
        say("FAILED: the central recorder did not read host 1's board 5 times within 20 s of "
            "the link coming back")
    if lost or wrong:
        say("FAILED: %d readings lost, %d series otherwise wrong (see LOSS lines)" % (lost, wrong))
    if bad or stalled or lost or wrong:
        return 1
    say("ok: %d readings, each in InfluxDB once and on both subscribers in order" % len(expected))
    return 0


def iso_ms(text):
    import datetime
    t = datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").replace(
        tzinfo=datetime.timezone.utc)
    return int(round(t.timestamp() * 1000))


def fmt_ms(ms):
    return time.strftime("%H:%M:%S", time.gmtime(ms / 1000)) + ".%03d" % (ms % 1000)


if __name__ == "__main__":
    status = 1
    try:
        status = main()
    finally:
        cleanup()
    sys.exit(status)
