#!/usr/bin/env python3
"""The soak: three simulated boards with moving inputs, a recorder on each, every output a lab
uses, and faults on a seeded schedule; then every record is checked against the conversions
the boards logged, and what reached the broker and the database against the files.

    tests/soak/soak.py --build build --minutes 20 --seed 1 --out build/soak

Everything listens on 127.0.0.1. Exit status 0 when the accounting holds, 1 when it does not,
2 when the soak could not be set up. The report is OUT/report.md with its plots beside it.
"""
import argparse
import bisect
import csv
import datetime
import glob
import json
import os
import random
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import time
import urllib.parse
import urllib.request

PERIOD = 0.1
# Each board's moving inputs, the channels the recorder reads. The noise gives every conversion
# a value of its own, so that a reading shifted by a round or taken from another channel shows.
INPUTS = [("10", "0", "sine 512 400 7s"), ("10", "1", "ramp 0 1023 13s"),
          ("12", "2", "noise 2048 1500 {seed}")]
# What the two other clients of the shared board read the whole time.
CLIENT_CHANNELS = [("10", "5", "sine 300 200 3s"), ("12", "6", "noise 1000 900 {seed}")]
BOARDS = ["pty", "net", "shared"]
OUTPUT_KIND = {"pty": "csv", "net": "sqlite", "shared": "csv"}
FAULT_KINDS = ["unplug", "silent", "outofstep", "garbage", "flood", "kill9", "sighup",
               "mosquitto", "influxd", "daemon", "ser2net", "busy", "diskfull"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, condition, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.05)
    raise RuntimeError("timed out waiting for " + what)


def listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


def parse_time(text):
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").replace(
        tzinfo=datetime.timezone.utc).timestamp()


class Proc:
    """A child process the soak owns: its own process group, its output in a file."""

    def __init__(self, soak, name, argv, stdin=False, cwd=None):
        self.soak, self.name, self.argv = soak, name, argv
        self.log_path = os.path.join(soak.run, "logs", name + ".log")
        self.stdin = stdin
        self.cwd = cwd
        self.p = None
        self.expected_end = False
        self.start()

    def start(self):
        log = open(self.log_path, "ab")
        self.p = subprocess.Popen(self.argv, stdout=log, stderr=subprocess.STDOUT,
                                  stdin=subprocess.PIPE if self.stdin else subprocess.DEVNULL,
                                  start_new_session=True, cwd=self.cwd)
        log.close()
        self.expected_end = False
        self.soak.event("start", self.name, self.p.pid)

    def alive(self):
        return self.p is not None and self.p.poll() is None

    def send(self, line):
        self.p.stdin.write((line + "\n").encode())
        self.p.stdin.flush()

    def stop(self, sig=signal.SIGTERM, timeout=15):
        if not self.alive():
            return None
        self.expected_end = True
        try:
            os.kill(self.p.pid, sig)
            return self.p.wait(timeout)
        except subprocess.TimeoutExpired:
            os.killpg(self.p.pid, signal.SIGKILL)
            return self.p.wait(5)
        except ProcessLookupError:
            return self.p.wait(5)

    def tail(self, n=800):
        try:
            with open(self.log_path, "rb") as f:
                return f.read()[-n:].decode(errors="replace")
        except OSError:
            return ""


class Soak:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        self.cli = os.path.join(self.build, "vantrel")
        self.sim = os.path.join(self.build, "vantrel-sim")
        self.out = os.path.abspath(args.out)
        self.run = os.path.join(self.out, "run")
        self.rng = random.Random(args.seed)
        self.t0 = time.time()
        self.events = []  # (wall, kind, name, detail)
        self.faults = []  # (start wall, end wall, kind, target)
        self.samples = []  # (wall, name, rss kB, fds, threads)
        self.unexpected = []  # (wall, name, status, tail)
        self.procs = {}
        self.sims = {}
        self.conv_logs = {b: [] for b in BOARDS}
        self.moved = {b: [] for b in BOARDS}
        self.sim_count = {b: 0 for b in BOARDS}
        self.mounted = False
        self.notes = []
        self.sub = None

    def event(self, kind, name, detail=""):
        self.events.append((time.time(), kind, name, detail))

    def path(self, *parts):
        return os.path.join(self.run, *parts)

    # ---- the world ------------------------------------------------------------------------

    def setup(self):
        if os.path.ismount(self.path("out")):
            subprocess.run(["umount", "-l", self.path("out")], check=False)
        shutil.rmtree(self.out, ignore_errors=True)
        for d in ("logs", "out", "mqtt", "influx"):
            os.makedirs(self.path(d))
        # The outputs on a file system of their own, so that the full-disk fault fills only it.
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=192m", "soak", self.path("out")],
                           capture_output=True, text=True)
        self.mounted = r.returncode == 0
        if not self.mounted:
            self.notes.append("no tmpfs for the outputs (%s): the full-disk fault is left out"
                              % r.stderr.strip())
        self.ports = {k: free_port() for k in ("mqtt", "influx", "influx_rpc", "ser2net")}
        self.start_mosquitto()
        self.start_influxd()
        for b in BOARDS:
            self.start_sim(b)
        self.start_ser2net()
        self.start_serve()
        for i, (bits, ch, _) in enumerate(CLIENT_CHANNELS):
            self.procs["client%d" % i] = Proc(self, "client%d" % i, [
                self.cli, "read", "--device", "unix://%s#shared" % self.path("serve.sock"),
                "--bits", bits, "--channel", ch, "--count", "0", "--interval", "50", "--csv",
                "--reconnect"])
        self.sub = Proc(self, "mosquitto_sub", [
            "mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.ports["mqtt"]), "-q", "1", "-c",
            "-i", "vantrel-soak-sub", "-v", "-t", "soak/#"])
        wait_for("the subscriber", lambda: "vantrel-soak-sub" in self.procs["mosquitto"].tail(
            100000), 15)
        for b in BOARDS:
            self.write_run_file(b)
            self.procs["log-" + b] = Proc(self, "log-" + b,
                                          [self.cli, "log", "--config", self.path(b + ".toml")],
                                          cwd=self.path("out"))

    def start_mosquitto(self):
        conf = self.path("mosquitto.conf")
        with open(conf, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence true\n"
                    "persistence_location %s/\nlog_dest stderr\nlog_type all\nuser root\n"
                    "max_queued_messages 1000000\n" % (self.ports["mqtt"], self.path("mqtt")))
        self.procs["mosquitto"] = Proc(self, "mosquitto", ["mosquitto", "-c", conf])
        wait_for("mosquitto", lambda: listening(self.ports["mqtt"]), 15)

    def start_influxd(self):
        conf = self.path("influxdb.conf")
        d = self.path("influx")
        with open(conf, "w") as f:
            f.write('reporting-disabled = true\nbind-address = "127.0.0.1:%d"\n[meta]\n  dir = '
                    '"%s/meta"\n[data]\n  dir = "%s/data"\n  wal-dir = "%s/wal"\n'
                    '  query-log-enabled = false\n[monitor]\n  store-enabled = false\n[http]\n'
                    '  bind-address = "127.0.0.1:%d"\n  log-enabled = false\n'
                    % (self.ports["influx_rpc"], d, d, d, self.ports["influx"]))
        self.procs["influxd"] = Proc(self, "influxd", ["influxd", "-config", conf])
        wait_for("influxd", self.influx_ping, 60)

    def influx_ping(self):
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d/ping" % self.ports["influx"],
                                        timeout=2) as r:
                return r.status == 204
        except OSError:
            return False

    def start_sim(self, board):
        self.sim_count[board] += 1
        log = self.path("%s.conv%d.csv" % (board, self.sim_count[board]))
        self.conv_logs[board].append(log)
        argv = [self.sim, "--console", "--link", self.path(board + ".dev"), "--log", log]
        seed = self.args.seed * 10 + BOARDS.index(board)
        channels = INPUTS + (CLIENT_CHANNELS if board == "shared" else [])
        for bits, ch, kind in channels:
            argv += ["--input", "%s %s %s" % (bits, ch, kind.format(seed=seed))]
        p = Proc(self, "sim-" + board, argv, stdin=True)
        self.sims[board] = p
        wait_for("the simulator's link", lambda: os.path.islink(self.path(board + ".dev")), 10)

    def start_ser2net(self):
        conf = self.path("ser2net.yaml")
        with open(conf, "w") as f:
            f.write("%%YAML 1.1\n---\nconnection: &rfc\n  accepter: telnet(rfc2217),tcp,"
                    "127.0.0.1,%d\n  connector: serialdev,%s,9600n81,local\n  options:\n"
                    "    kickolduser: true\n    chardelay: false\n"
                    % (self.ports["ser2net"], self.path("net.dev")))
        self.procs["ser2net"] = Proc(self, "ser2net", ["ser2net", "-n", "-d", "-c", conf, "-P",
                                                       self.path("ser2net.pid")])
        wait_for("ser2net", lambda: listening(self.ports["ser2net"]), 15)

    def start_serve(self):
        self.procs["serve"] = Proc(self, "serve", [
            self.cli, "serve", "--device", self.path("shared.dev"), "--name", "shared",
            "--socket", self.path("serve.sock")])
        wait_for("the daemon's socket", lambda: os.path.exists(self.path("serve.sock")), 15)

    def device(self, board):
        if board == "pty":
            return self.path("pty.dev")
        if board == "net":
            return "rfc2217://127.0.0.1:%d" % self.ports["ser2net"]
        return "unix://%s#shared" % self.path("serve.sock")

    def out_file(self, board):
        return self.path("out", "%s.%s" % (board, OUTPUT_KIND[board]))

    def write_run_file(self, board):
        http, metrics = free_port(), free_port()
        self.ports["metrics-" + board] = metrics
        lines = ['out = "%s"' % self.out_file(board), "duration = 0",
                 "[publish]", 'http = "127.0.0.1:%d"' % http, 'metrics = "127.0.0.1:%d"' % metrics,
                 # The page's history fills in a minute, so that its memory is flat after it.
                 "http_minutes = 1",
                 'mqtt = "mqtt://127.0.0.1:%d/soak"' % self.ports["mqtt"],
                 'influx = "http://127.0.0.1:%d/soak"' % self.ports["influx"],
                 "[[board]]", 'name = "%s"' % board, 'device = "%s"' % self.device(board),
                 "period = %g" % PERIOD]
        for bits, ch, _ in INPUTS:
            lines += ["[[board.channel]]", "bits = %s" % bits, "channel = %s" % ch]
        with open(self.path(board + ".toml"), "w") as f:
            f.write("\n".join(lines) + "\n")

    # ---- watching -------------------------------------------------------------------------

    def supervise(self):
        """Restarts what died (as Restart=always would), saying so when nobody killed it."""
        for name, p in list(self.procs.items()) + [("sim-" + b, s) for b, s in self.sims.items()]:
            if p.p is not None and p.p.poll() is not None:
                if not p.expected_end:
                    self.unexpected.append((time.time(), name, p.p.returncode, p.tail()))
                    self.event("died", name, p.p.returncode)
                    p.expected_end = True
                if name.startswith("log-") or name.startswith("client"):
                    p.start()

    def sample(self):
        now = time.time()
        for name in ["log-" + b for b in BOARDS] + ["serve"]:
            p = self.procs[name]
            if not p.alive():
                continue
            try:
                with open("/proc/%d/status" % p.p.pid) as f:
                    status = dict(line.split(":", 1) for line in f if ":" in line)
                fds = len(os.listdir("/proc/%d/fd" % p.p.pid))
                self.samples.append((now, name, p.p.pid, int(status["VmRSS"].split()[0]), fds,
                                     int(status["Threads"])))
            except (OSError, KeyError, ValueError):
                pass

    def idle(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self.supervise()
            if time.monotonic() >= self.next_sample:
                self.sample()
                self.next_sample += 2.0
            time.sleep(min(0.2, max(0.0, end - time.monotonic())))

    # ---- faults ---------------------------------------------------------------------------

    def fault(self, kind):
        board = self.rng.choice(BOARDS)
        start = time.time()
        target = board
        if kind == "unplug":
            self.sims[board].stop(signal.SIGTERM)
            self.idle(self.rng.uniform(1, 4))
            self.start_sim(board)
        elif kind in ("silent", "outofstep"):
            self.sims[board].send("fault %s on" % kind)
            self.idle(5)
            self.sims[board].send("fault %s off" % kind)
        elif kind == "garbage":
            self.sims[board].send('fault prefix "\\x00\\xff#?~ ok 12\\r\\n"')
            self.idle(5)
            self.sims[board].send('fault prefix ""')
        elif kind == "flood":
            self.sims[board].send('unsolicited "spurious line 0123\\r\\n" 2')
            self.idle(5)
            self.sims[board].send('unsolicited "" 0')
        elif kind == "kill9":
            self.procs["log-" + board].stop(signal.SIGKILL)
            self.idle(0.3)
        elif kind == "sighup":
            src = self.out_file(board)
            dst = "%s.moved%d" % (src, len(self.moved[board]) + 1)
            os.rename(src, dst)
            self.moved[board].append(dst)
            os.kill(self.procs["log-" + board].p.pid, signal.SIGHUP)
            self.idle(1)
        elif kind in ("mosquitto", "influxd"):
            target = kind
            self.procs[kind].stop(signal.SIGTERM, 30)
            self.idle(self.rng.uniform(2, 8))
            (self.start_mosquitto if kind == "mosquitto" else self.start_influxd)()
            if kind == "mosquitto":
                self.sub.stop()
                self.sub.start()
        elif kind == "daemon":
            target = "serve"
            self.procs["serve"].stop(signal.SIGTERM)
            self.idle(self.rng.uniform(1, 4))
            self.start_serve()
        elif kind == "ser2net":
            target = "ser2net"
            self.procs["ser2net"].stop(signal.SIGTERM)
            self.idle(self.rng.uniform(1, 4))
            self.start_ser2net()
        elif kind == "busy":
            target = "cpu"
            loops = [subprocess.Popen([sys.executable, "-c", "while True: pass"],
                                      start_new_session=True) for _ in range(2)]
            try:
                self.idle(20)
            finally:
                for p in loops:
                    p.kill()
                    p.wait(5)
        elif kind == "diskfull":
            target = "out"
            filler = self.path("out", "filler")
            subprocess.run(["dd", "if=/dev/zero", "of=" + filler, "bs=1M", "count=400"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
            self.idle(20)
            os.unlink(filler)
        self.faults.append((start, time.time(), kind, target))
        self.event("fault", kind, target)

    def schedule(self):
        kinds = [k for k in FAULT_KINDS if k != "diskfull" or self.mounted]
        order = []
        end = self.t0 + self.args.minutes * 60 - 15
        self.next_sample = time.monotonic()
        self.idle(15)
        while time.time() < end:
            if not order:
                order = kinds[:]
                self.rng.shuffle(order)
            kind = order.pop()
            self.fault(kind)
            self.idle(min(self.rng.uniform(10, 30), max(0.0, end - time.time())))
        self.idle(10)  # the last fault's recovery, in the records

    # ---- the end --------------------------------------------------------------------------

    def stop_all(self):
        for b in BOARDS:
            p = self.procs.get("log-" + b)
            if p:
                status = p.stop(signal.SIGINT, 30)
                if status not in (None, 130):
                    self.unexpected.append((time.time(), p.name, status, p.tail()))
        for name in ("client0", "client1"):
            if name in self.procs:
                self.procs[name].stop(signal.SIGINT)
        # What the subscriber still has to get, until nothing came for two seconds.
        last, size, end = time.monotonic(), -1, time.monotonic() + 30
        while time.monotonic() < end and time.monotonic() - last < 2:
            s = os.path.getsize(self.sub.log_path)
            if s != size:
                size, last = s, time.monotonic()
            time.sleep(0.2)
        self.influx_points = self.query_influx()

    def teardown(self):
        everything = list(self.procs.values()) + list(self.sims.values())
        everything += [self.sub] if self.sub else []
        for p in everything:
            try:
                p.stop(signal.SIGTERM, 10)
            except Exception:  # noqa: BLE001 - the rest are stopped whatever one did
                pass
        if self.mounted:
            for b in BOARDS:
                for f in glob.glob(self.path("out", b + "*")):
                    shutil.copy2(f, self.path(os.path.basename(f)))
            subprocess.run(["umount", self.path("out")], check=False)
            self.mounted = False

    def query_influx(self):
        q = 'SELECT raw, status FROM vantrel GROUP BY "board", "name"'
        url = "http://127.0.0.1:%d/query?db=soak&epoch=ms&chunked=true&q=%s" % (
            self.ports["influx"], urllib.parse.quote(q))
        points = {}
        try:
            with urllib.request.urlopen(url, timeout=60) as r:
                for line in r:
                    for result in json.loads(line).get("results", []):
                        for s in result.get("series", []):
                            tags = s["tags"]
                            for t, raw, status in s["values"]:
                                points[(tags["board"], tags["name"], int(t))] = (raw, status)
        except OSError as e:
            self.notes.append("InfluxDB could not be read: %s" % e)
        return points

    # ---- the accounting -------------------------------------------------------------------

    def read_records(self, board):
        """Every record of a board's recorder, in the order written: the moved files first."""
        records = []
        for f in self.moved[board] + [self.out_file(board)]:
            if not os.path.exists(f):
                continue
            if OUTPUT_KIND[board] == "csv":
                with open(f, newline="") as fh:
                    rows = list(csv.DictReader(fh))
            else:
                db = sqlite3.connect(f)
                db.row_factory = sqlite3.Row
                rows = [dict(r) for r in db.execute("SELECT * FROM readings ORDER BY rowid")]
                db.close()
            for r in rows:
                records.append({"time": r["time"], "wall": parse_time(r["time"]),
                                "mono": float(r["mono"]), "name": r["name"],
                                "bits": int(r["bits"]), "channel": int(r["channel"]),
                                "raw": None if r["raw"] in (None, "") else float(r["raw"]),
                                "status": r["status"], "text": r["text"] or "", "file": f})
        return records

    def conversions(self, board):
        table = {}
        for f in self.conv_logs[board]:
            with open(f) as fh:
                next(fh, None)
                for line in fh:
                    if not line.endswith("\n"):
                        continue
                    wall, _mono, bits, ch, _word, reading = line.rstrip("\n").split(",")
                    table.setdefault((int(bits), int(ch)), []).append(
                        (int(wall) / 1e6, float(reading)))
        for v in table.values():
            v.sort()
        return table

    def fault_at(self, wall, margin=3.0):
        for start, end, kind, target in self.faults:
            if start - margin <= wall <= end + margin:
                return kind
        return None

    def account(self):
        a = {"boards": {}, "failures": [], "records": {}}
        names = ["%s:%s" % (bits, ch) for bits, ch, _ in INPUTS]
        self.lateness = []
        self.gap_times = []
        self.offsets = []
        file_keys = {}
        for board in BOARDS:
            recs = self.read_records(board)
            a["records"][board] = recs
            conv = self.conversions(board)
            used = set()
            s = {"records": len(recs), "ok": 0, "error": 0, "gap": 0, "checked": 0, "wrong": 0,
                 "wrong_by": {}, "double": 0, "missing": 0, "missing_by": {}, "incarnations": 0,
                 "deadlines": 0}
            # Incarnations: a recorder started again counts its deadlines from its own start.
            start, rnd, prev_index, seen = None, 0, len(names), set()
            last_round = {}
            in_gap = {}
            for r in recs:
                origin = r["wall"] - r["mono"]
                if start is None or abs(origin - start) > 0.25:
                    start, prev_index, seen = origin, len(names), set()
                    last_round, in_gap = {}, {}
                    s["incarnations"] += 1
                index = names.index(r["name"])
                if index <= prev_index:
                    rnd = int(r["mono"] / PERIOD + 1e-6)
                    if r["status"] != "gap":
                        self.lateness.append((r["wall"], board, r["mono"] - rnd * PERIOD))
                prev_index = index
                key = (r["name"], rnd)
                if key in seen:
                    s["double"] += 1
                    a["failures"].append("%s %s: two records for deadline %d of the run "
                                         "started %s" % (board, r["name"], rnd, r["time"]))
                seen.add(key)
                lr = last_round.get(r["name"])
                # A gap record stands for the deadlines after it until the next reading (a
                # board away) and for those just before it (left out by an overrun).
                if (lr is not None and rnd > lr + 1 and not in_gap.get(r["name"])
                        and r["status"] != "gap"):
                    n = rnd - lr - 1
                    s["missing"] += n
                    cause = self.fault_at(r["wall"]) or "no fault"
                    s["missing_by"][cause] = s["missing_by"].get(cause, 0) + n
                if lr is None or rnd > lr:
                    s["deadlines"] += (rnd - lr) if lr is not None else 1
                last_round[r["name"]] = max(rnd, lr if lr is not None else rnd)
                in_gap[r["name"]] = r["status"] == "gap"
                s[r["status"]] = s.get(r["status"], 0) + 1
                file_keys[(board, r["name"], r["time"])] = r
                if r["status"] == "gap":
                    self.gap_times.append((r["wall"], board))
                if r["status"] != "ok":
                    continue
                s["checked"] += 1
                found = self.match(conv.get((r["bits"], r["channel"]), []), r, used)
                if found is None:
                    s["wrong"] += 1
                    cause = self.fault_at(r["wall"]) or "no fault"
                    s["wrong_by"][cause] = s["wrong_by"].get(cause, 0) + 1
                    if s["wrong"] <= 20:
                        near = [c for c in conv.get((r["bits"], r["channel"]), [])
                                if abs(c[0] - r["wall"]) < 0.3]
                        a["failures"].append(
                            "%s %s at %s: raw %g is no conversion of that channel within the "
                            "window (%s); conversions near: %s" % (
                                board, r["name"], r["time"], r["raw"],
                                self.fault_at(r["wall"]) or "no fault",
                                ", ".join("%+.3fs %g" % (c[0] - r["wall"], c[1])
                                          for c in near[:8])))
            if s["wrong"]:
                a["failures"].append("%s: %d readings wrong in all (%s)" % (
                    board, s["wrong"], ", ".join("%s %d" % kv for kv in sorted(
                        s["wrong_by"].items()))))
            a["boards"][board] = s
        a["mqtt"] = self.compare_published("MQTT", self.mqtt_messages(), file_keys, a,
                                           ("mosquitto",))
        a["influx"] = self.compare_published(
            "InfluxDB", {(b, n, t): v for (b, n, t), v in self.influx_by_time().items()},
            file_keys, a, ("influxd",))
        a["memory"] = self.slopes(a)
        for when, name, status, tail in self.unexpected:
            a["failures"].append("%s ended by itself (status %s) at %.0f s: %s" % (
                name, status, when - self.t0, tail.strip().splitlines()[-1:] or ""))
        return a

    # A reading's conversion ran while the recorder waited for it: from shortly before the
    # record's time (which has milliseconds only) to the longest a reply may take.
    WINDOW = (-0.005, 1.0)

    def match(self, conversions, r, used):
        times = [c[0] for c in conversions]
        lo = bisect.bisect_left(times, r["wall"] + self.WINDOW[0])
        hi = bisect.bisect_right(times, r["wall"] + self.WINDOW[1])
        best = None
        for i in range(lo, hi):
            if conversions[i][1] == r["raw"] and (r["bits"], r["channel"], i) not in used:
                best = i
                break
        if best is None:
            return None
        used.add((r["bits"], r["channel"], best))
        self.offsets.append(conversions[best][0] - r["wall"])
        return best

    def mqtt_messages(self):
        msgs = {}
        with open(self.sub.log_path, errors="replace") as f:
            for line in f:
                topic, _, payload = line.rstrip("\n").partition(" ")
                if topic.count("/") != 2 or not payload.startswith("{"):
                    continue
                try:
                    m = json.loads(payload)
                except ValueError:
                    continue
                msgs[(m["board"], m["name"], m["time"])] = (m.get("raw"), m["status"])
        return msgs

    def influx_by_time(self):
        out = {}
        for (board, name, ms), v in self.influx_points.items():
            t = datetime.datetime.fromtimestamp(ms / 1000, datetime.timezone.utc)
            out[(board, name, t.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (ms % 1000))] = v
        return out

    def compare_published(self, what, got, file_keys, a, servers):
        c = {"sent": len(got), "matched": 0, "differ": 0, "not_in_file": 0, "missing": 0,
             "missing_by": {}}
        for key, (raw, status) in got.items():
            r = file_keys.get(key)
            if r is None:
                c["not_in_file"] += 1
                cause = self.fault_at(parse_time(key[2]), 5) or "no fault"
                c.setdefault("not_in_file_by", {})
                c["not_in_file_by"][cause] = c["not_in_file_by"].get(cause, 0) + 1
                continue
            if status != r["status"] or (raw if raw is None else float(raw)) != r["raw"]:
                c["differ"] += 1
                if c["differ"] <= 10:
                    a["failures"].append("%s has %s %s at %s as %s %s, the file %s %s" % (
                        what, key[0], key[1], key[2], status, raw, r["status"], r["raw"]))
                continue
            c["matched"] += 1
        for key, r in file_keys.items():
            if key not in got:
                c["missing"] += 1
                cause = self.fault_at(r["wall"], 5) or "no fault"
                c["missing_by"][cause] = c["missing_by"].get(cause, 0) + 1
        if c["differ"]:
            a["failures"].append("%s: %d readings differ from the file's" % (what, c["differ"]))
        unexplained = c["missing_by"].get("no fault", 0)
        if unexplained:
            a["failures"].append("%s: %d of the file's records never arrived while no fault "
                                 "was on" % (what, unexplained))
        return c

    def slopes(self, a):
        """Per process, the fit over the second half of the run of its longest-lived process."""
        mid = self.t0 + (time.time() - self.t0) / 2
        result = {}
        for name in ["log-" + b for b in BOARDS] + ["serve"]:
            pts = [s for s in self.samples if s[1] == name and s[0] >= mid]
            if not pts:
                continue
            pids = {}
            for s in pts:
                pids[s[2]] = pids.get(s[2], 0) + 1
            pid = max(pids, key=pids.get)
            pts = [s for s in pts if s[2] == pid]
            if len(pts) < 5:
                result[name] = None
                continue
            span = (pts[-1][0] - pts[0][0]) / 60
            fit = {}
            for i, field in ((3, "rss_kb"), (4, "fds"), (5, "threads")):
                xs = [(p[0] - pts[0][0]) / 60 for p in pts]
                ys = [p[i] for p in pts]
                mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
                den = sum((x - mx) ** 2 for x in xs) or 1
                slope = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / den
                fit[field] = (slope, my)
            fit["minutes"] = span
            result[name] = fit
            rise_kb = fit["rss_kb"][0] * span
            # The allocator keeps what an outage's held readings took, so memory steps up at
            # faults and stays; a leak is a rise beyond that over the half.
            if rise_kb > max(2048, 0.1 * fit["rss_kb"][1]):
                a["failures"].append("%s: memory grows %.0f kB/min over the second half" % (
                    name, fit["rss_kb"][0]))
            if fit["fds"][0] * span > 2:
                a["failures"].append("%s: descriptors grow %.2f/min" % (name, fit["fds"][0]))
            if fit["threads"][0] * span > 1:
                a["failures"].append("%s: threads grow %.2f/min" % (name, fit["threads"][0]))
        return result

    # ---- the report -----------------------------------------------------------------------

    def plots(self, a):
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        colours = {"pty": "tab:blue", "net": "tab:orange", "shared": "tab:green",
                   "serve": "tab:red"}

        def faults(ax):
            for start, end, kind, _ in self.faults:
                ax.axvspan((start - self.t0) / 60, (end - self.t0) / 60, color="0.85")
                ax.text((start - self.t0) / 60, 1, kind, rotation=90, fontsize=6, va="top",
                        transform=ax.get_xaxis_transform())

        made = []
        fig, axes = plt.subplots(3, 1, figsize=(10, 8), sharex=True)
        for ax, i, label in zip(axes, (3, 4, 5), ("RSS (MB)", "descriptors", "threads")):
            faults(ax)
            for name in ["log-" + b for b in BOARDS] + ["serve"]:
                pts = [s for s in self.samples if s[1] == name]
                ax.plot([(s[0] - self.t0) / 60 for s in pts],
                        [s[i] / 1024 if i == 3 else s[i] for s in pts], ".", ms=2,
                        color=colours[name.replace("log-", "")], label=name)
            ax.set_ylabel(label)
        axes[0].legend(fontsize=7, loc="upper right")
        axes[-1].set_xlabel("minutes")
        fig.tight_layout()
        fig.savefig(os.path.join(self.out, "memory.png"), dpi=90)
        made.append("memory.png")
        plt.close(fig)

        fig, axes = plt.subplots(2, 1, figsize=(10, 6), sharex=True)
        faults(axes[0])
        for b in BOARDS:
            pts = [x for x in self.lateness if x[1] == b]
            axes[0].plot([(x[0] - self.t0) / 60 for x in pts], [x[2] * 1000 for x in pts], ".",
                         ms=1, color=colours[b], label=b)
        axes[0].set_ylabel("round start after its deadline (ms)")
        axes[0].set_yscale("symlog", linthresh=1)
        axes[0].legend(fontsize=7, loc="upper right")
        faults(axes[1])
        for i, b in enumerate(BOARDS):
            pts = [g for g in self.gap_times if g[1] == b]
            axes[1].plot([(g[0] - self.t0) / 60 for g in pts], [i] * len(pts), "|", ms=12,
                         color=colours[b])
        axes[1].set_yticks(range(len(BOARDS)), BOARDS)
        axes[1].set_ylabel("gap records")
        axes[1].set_xlabel("minutes (grey: faults)")
        fig.tight_layout()
        fig.savefig(os.path.join(self.out, "lateness.png"), dpi=90)
        made.append("lateness.png")
        plt.close(fig)
        return made

    def report(self, a, minutes):
        lines = ["# Soak report", "",
                 "%.1f minutes, seed %d, %s; period %g s, channels %s on each board." % (
                     minutes, self.args.seed,
                     datetime.datetime.fromtimestamp(self.t0, datetime.timezone.utc).strftime(
                         "started %Y-%m-%d %H:%M UTC"), PERIOD,
                     ", ".join("%s:%s (%s)" % (b, c, k.split()[0]) for b, c, k in INPUTS)), ""]
        lines += ["**%s**" % ("PASSED" if not a["failures"] else "FAILED: %d findings" %
                                len(a["failures"])), ""]
        counts = {}
        for _, _, kind, _ in self.faults:
            counts[kind] = counts.get(kind, 0) + 1
        lines += ["## Faults", "", "| kind | times |", "|---|---|"]
        lines += ["| %s | %d |" % (k, counts.get(k, 0)) for k in FAULT_KINDS]
        lines += [""] + ["- " + n for n in self.notes] + [""]
        lines += ["## Records", "",
                  "| board | records | ok | errors | gaps | readings checked | wrong | two for "
                  "one deadline | deadlines without a record | recorder runs |",
                  "|---|---|---|---|---|---|---|---|---|---|"]
        for b in BOARDS:
            s = a["boards"][b]
            why = ", ".join("%s %d" % kv for kv in sorted(s["missing_by"].items()))
            lines.append("| %s | %d | %d | %d | %d | %d | %d | %d | %d%s | %d |" % (
                b, s["records"], s["ok"], s["error"], s["gap"], s["checked"], s["wrong"],
                s["double"], s["missing"], " (%s)" % why if why else "", s["incarnations"]))
        late = sorted(x[2] for x in self.lateness)
        off = sorted(self.offsets)

        def pct(v, q):
            return v[min(len(v) - 1, int(q * len(v)))] * 1000 if v else float("nan")
        lines += ["", "Round starts after their deadline: p50 %.1f ms, p99 %.1f ms, max %.1f ms "
                  "(%d rounds)." % (pct(late, .5), pct(late, .99), pct(late, 1), len(late)),
                  "A reading's conversion after its time stamp: p50 %.1f ms, p99 %.1f ms, max "
                  "%.1f ms (the window taken: %+.0f to %+.0f ms)." % (
                      pct(off, .5), pct(off, .99), pct(off, 1), self.WINDOW[0] * 1000,
                      self.WINDOW[1] * 1000), ""]
        lines += ["## Published", "", "| output | messages | match the file | differ | not in "
                  "the file | file records missing (by fault) |", "|---|---|---|---|---|---|"]
        for what in ("mqtt", "influx"):
            c = a[what]
            why = ", ".join("%s %d" % kv for kv in sorted(c["missing_by"].items()))
            extra = ", ".join("%s %d" % kv for kv in sorted(c.get("not_in_file_by", {}).items()))
            lines.append("| %s | %d | %d | %d | %d%s | %d%s |" % (
                what, c["sent"], c["matched"], c["differ"], c["not_in_file"],
                " (%s)" % extra if extra else "", c["missing"], " (%s)" % why if why else ""))
        lines += ["", "## Memory, descriptors, threads (second half)", "",
                  "| process | minutes | RSS mean (kB) | RSS slope (kB/min) | descriptors slope "
                  "(/min) | threads slope (/min) |", "|---|---|---|---|---|---|"]
        for name, fit in a["memory"].items():
            if fit is None:
                lines.append("| %s | too few samples of one process | | | | |" % name)
                continue
            lines.append("| %s | %.1f | %.0f | %.1f | %.3f | %.3f |" % (
                name, fit["minutes"], fit["rss_kb"][1], fit["rss_kb"][0], fit["fds"][0],
                fit["threads"][0]))
        lines += ["", "Processes that ended by themselves: %d." % len(self.unexpected), ""]
        if a["failures"]:
            lines += ["## Findings", ""] + ["- " + f for f in a["failures"][:60]] + [""]
        lines += ["## Plots", ""] + ["![%s](%s)" % (p, p) for p in a.get("plots", [])] + [""]
        with open(os.path.join(self.out, "report.md"), "w") as f:
            f.write("\n".join(lines))
        return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default="build")
    ap.add_argument("--minutes", type=float, default=20)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--out", default="build/soak")
    args = ap.parse_args()
    soak = Soak(args)
    # SIGTERM and SIGINT end the soak through the same cleanup as its end.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(2))
    try:
        try:
            soak.setup()
        except (RuntimeError, OSError) as e:
            print("soak: cannot start: %s" % e, file=sys.stderr)
            for p in list(soak.procs.values()) + list(soak.sims.values()):
                print("--- %s\n%s" % (p.name, p.tail()), file=sys.stderr)
            return 2
        soak.schedule()
        minutes = (time.time() - soak.t0) / 60
        soak.stop_all()
        a = soak.account()
        try:
            a["plots"] = soak.plots(a)
        except ImportError:
            soak.notes.append("no plots: python3-matplotlib is not installed")
        print(soak.report(a, minutes))
        return 1 if a["failures"] else 0
    finally:
        soak.teardown()


if __name__ == "__main__":
    sys.exit(main())
