#!/usr/bin/python3
"""The gateway beside its peers, every figure measured in the same run; see bench/run-all.

    bench/run_all.py [--quick] [--mails N] [--size BYTES] [--sessions 1,10,20]
                     [--notifications N] [--spaced N] [--memory-mb MB] [--timeout S]
                     [--only PARTS] [--decode-threads N] [--baseline FAXMAILGW] [--rounds N]
                     [--out DIR] [--keep]

Started by bench/run-all, which installs the peers and builds the release preset first.
Everything runs on loopback from private folders under one temporary folder in DIR: smtp-sink, a
private Postfix (master, smtpd, cleanup, qmgr, discard), a private Knot on DNS_ADDRESS:53 and
a fresh faxmailgw -m for each measurement, each with its own FAXMAIL_ROOT and data directory.
Whatever was started is stopped at the end, also after an error or a signal. Each step has a
time-out; a step that runs into it is reported as "did not finish" with what it had done.

Parts:
  receive   smtp-source (a new connection per mail) against smtp-sink, the private Postfix,
            faxmailgw -m (on its default values, and again with --decode-threads decode
            threads) and spool_floor at each session count. Rates run from the start of
            smtp-source to the last mail done: for smtp-sink the last one it acknowledged, for
            Postfix the last one delivered to discard (from its log), for the gateway and
            spool_floor the last ready envelope (ENV*.tmp in OUT, by the time of its rename).
            spool_floor ("durable floor") writes, syncs and renames what the gateway promises
            to have on disk before each 250 and before each ready name, and does nothing else:
            the most a receiver that keeps those promises can do on this machine. With
            --rounds N each of them runs N times in turn (Postfix's N runs last) and its row
            is the round with the median rate, every round's rate in its note.
  decode    decode_bench's corpus mode and Python's email (bench/email_decode.py) over the
            very same files: the real messages of the interop tests and large generated ones.
  outbound  The gateway mails ready files from IN through the private Knot (MX of dest.test
            -> 127.0.0.1) to smtp-sink, twice: --spaced files given their ready names one
            every 200 ms, each to an idle sender (the latency row: median from each ready
            name to its mail's dump at smtp-sink), then --notifications files put in at once
            (the rate row: first arrival to last). The peer is smtp-source sending as many
            mails of the same size to the same sink, one connection after another.
  memory    one large mail (a base64 attachment) through faxmailgw -m: the growth of its peak
            resident memory (VmHWM) from idle to the ready envelope, beside Python's email
            decoding the same file.
Output: a table on standard output, DIR/results.csv and DIR/results.png (DIR: bench/out).
"""

import argparse
import base64
import csv
import ctypes
import os
import random
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TOP = Path(__file__).resolve().parents[1]
BUILD = TOP / "build" / "release"
GATEWAY = BUILD / "gateway" / "faxmailgw"
FAXMAILREG = BUILD / "tools" / "faxmailreg" / "faxmailreg"
DECODE_BENCH = BUILD / "bench" / "decode_bench"
SPOOL_FLOOR = BUILD / "bench" / "spool_floor"
EMAIL_DECODE = TOP / "bench" / "email_decode.py"
PYTHON = "/usr/bin/python3"
SMTP_SOURCE = "/usr/sbin/smtp-source"
SMTP_SINK = "/usr/sbin/smtp-sink"
POSTFIX = "/usr/sbin/postfix"
KNOTD = "/usr/sbin/knotd"
GATEWAY_KEY = r"HKLM\SOFTWARE\Almoran\Corvane SMTP Server"

# The data directory setting holds at most this many characters.
MAX_DATA_PATH = 79
# Longest folder that the temporary folder goes into: with "faxbench.xxxxxxxx/receive-base-20/
# data/" (45 characters) appended, the data directory stays within MAX_DATA_PATH.
WORK_PARENT_LIMIT = MAX_DATA_PATH - 45
# How often a step looks at what it waits for: fine enough beside runs of seconds.
POLL_SECONDS = 0.02
# How often the gateway's OUT is listed while it works: the times come from the files, so
# this only bounds what the listing takes from the gateway (OUT holds three files a mail).
OUT_POLL_SECONDS = 0.25
# A server that does not take connections by then has failed to start.
START_SECONDS = 20
# A count that has not grown for this long is final: longer than the gateway's own pauses
# (25 s before a name in use is looked at again, 30 s between decodes of a raw file).
STALL_SECONDS = 35
# The sender's idle poll period: what a file would wait, half of it on average, if the sender
# did not wake on the ready names arriving in IN.
SENDER_POLL_SECONDS = 10
# Ready files of the latency run are put into IN this far apart: longer than one delivery
# takes, so each arrives to an idle sender.
SPACED_SECONDS = 0.2
# The address of the private Knot: 127.88.0.0/16 is used by nothing else in the tree.
DNS_ADDRESS = "127.88.0.1"
MB = 1e6
# The listen backlog the receive runs give the gateway (ListenBacklog): 20 sessions that each
# open a new connection per mail overflow the default of 5, and every refused connection costs
# its client a second before it tries again; Postfix's smtpd listens with 100 or more.
RECEIVE_BACKLOG = 128
# The row of a second gateway binary measured beside the first (--baseline).
BASELINE = "faxmailgw baseline"
# The decode threads of the gateway's second receive row (DecodeThreads; --decode-threads):
# sessions then answer the QUIT while their mails wait to be decoded.
RECEIVE_DECODE_THREADS = 8
# The row of spool_floor: the files and syncs the gateway promises, and nothing else.
FLOOR = "durable floor"
# What the gateway logs for a connection it refuses over its limit of connections.
REFUSED = "ClientThreadEntry : exceeded the max. no. of connections."

CSV_FIELDS = ["section", "case", "system", "status", "done", "of", "seconds", "rate",
              "rate_unit", "mb_per_s", "latency_ms", "latency_what", "memory_kb",
              "ratio", "peer", "ratio2", "peer2", "note"]


class Failure(Exception):
    """A step that cannot be measured; its text goes into the table."""


# ---------------------------------------------------------------------------------------------
# Processes: every child is registered and ended at the end, whatever happens.

_children = []


def _die_with_parent():
    # PR_SET_PDEATHSIG: a child whose credentials do not change goes when this process dies,
    # even by SIGKILL; the others (smtp-sink as nobody, Postfix's daemons) are ended below.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)


def spawn(argv, output, env=None, stdin=None):
    with open(output, "wb") as out:
        child = subprocess.Popen([str(a) for a in argv], stdin=stdin, stdout=out,
                                 stderr=subprocess.STDOUT, env=env,
                                 preexec_fn=_die_with_parent)
    _children.append(child)
    return child


def end(child, grace=5.0):
    if child.poll() is None:
        child.terminate()
        try:
            child.wait(grace)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()
    if child in _children:
        _children.remove(child)


def end_all():
    for child in reversed(list(_children)):
        end(child)


def run(argv, timeout, env=None):
    """A short helper program; its output, or Failure."""
    try:
        done = subprocess.run([str(a) for a in argv], capture_output=True, text=True,
                              timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        raise Failure(f"{Path(str(argv[0])).name} did not finish in {timeout:.0f} s")
    if done.returncode != 0:
        raise Failure(f"{Path(str(argv[0])).name} failed ({done.returncode}): "
                      f"{(done.stdout + done.stderr).strip()[-300:]}")
    return done.stdout


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def takes_connections(address, port):
    try:
        with socket.create_connection((address, port), timeout=1):
            return True
    except OSError:
        return False


def wait_for(condition, seconds, poll=POLL_SECONDS):
    end_time = time.monotonic() + seconds
    while True:
        if condition():
            return True
        if time.monotonic() > end_time:
            return False
        time.sleep(poll)


def wait_tcp(address, port, child, what):
    if not wait_for(lambda: takes_connections(address, port) or child.poll() is not None,
                    START_SECONDS) or child.poll() is not None:
        raise Failure(f"{what} did not start on {address}:{port}")


def open_folder(path):
    """A folder that daemons running as other users (nobody, postfix) can reach."""
    path.mkdir(parents=True, exist_ok=True)
    path.chmod(0o755)
    return path


# ---------------------------------------------------------------------------------------------
# The systems under test and their peers.

class Gateway:
    """A fresh faxmailgw -m on the default configuration, in its own root and data folder."""

    def __init__(self, work, name, settings=None, program=GATEWAY):
        self.program = program
        self.dir = work / name
        self.root = self.dir / "root"
        self.data = self.dir / "data"
        self.logs = self.dir / "logs"
        for folder in (self.root, self.data / "OUT", self.data / "IN", self.logs, self.dir / "tmp"):
            folder.mkdir(parents=True)
        data = str(self.data) + "/"
        if len(data) > MAX_DATA_PATH:
            raise Failure(f"data directory path longer than {MAX_DATA_PATH}: {data}")
        self.port = free_port()
        text = (TOP / "config" / "default.reg").read_text()
        text = text.replace("@DATA@", data.replace("\\", "\\\\")).replace("@LOGS@", str(self.logs))
        (self.dir / "default.reg").write_text(text)
        self.env = dict(os.environ, FAXMAIL_ROOT=str(self.root), TMP=str(self.dir / "tmp"))
        run([FAXMAILREG, "import", self.dir / "default.reg"], 30, self.env)
        values = {"SmtpRxPort": self.port}
        values.update(settings or {})
        for name, value in values.items():
            kind = "REG_DWORD" if isinstance(value, int) else "REG_SZ"
            run([FAXMAILREG, "add", GATEWAY_KEY, "/v", name, "/t", kind, "/d", str(value), "/f"],
                30, self.env)
        self.child = None

    def start(self):
        self.child = spawn([self.program, "-m"], self.dir / "console.out", self.env,
                           stdin=subprocess.PIPE)
        wait_tcp("127.0.0.1", self.port, self.child, "faxmailgw -m")

    def stop(self):
        if self.child is None:
            return
        try:
            self.child.stdin.write(b"q\n")
            self.child.stdin.close()
            self.child.wait(10)
        except (OSError, subprocess.TimeoutExpired):
            pass
        end(self.child)
        self.child = None

    def ready(self):
        """The ready envelopes in OUT: names ENV....tmp, as the fax server takes them."""
        with os.scandir(self.data / "OUT") as entries:
            return [e for e in entries
                    if len(e.name) >= 8 and e.name.startswith("ENV") and e.name.endswith(".tmp")]

    def last_ready_time(self):
        # The rename that gives an envelope its ready name sets its change time.
        return max((e.stat().st_ctime for e in self.ready()), default=None)

    def memory_kb(self, field):
        status = Path(f"/proc/{self.child.pid}/status").read_text()
        match = re.search(rf"^{field}:\s+(\d+) kB", status, re.M)
        if not match:
            raise Failure(f"no {field} in /proc/{self.child.pid}/status")
        return int(match.group(1))

    def main_log(self):
        path = self.logs / "main.log"
        return path.read_text(errors="replace") if path.exists() else ""


class Floor:
    """spool_floor on a port of its own, its OUT in a folder of its own."""

    def __init__(self, work, name):
        self.dir = open_folder(work / name)
        self.data = self.dir / "data"
        self.port = free_port()
        self.child = spawn([SPOOL_FLOOR, self.port, self.data], self.dir / "floor.out")
        wait_tcp("127.0.0.1", self.port, self.child, "spool_floor")

    def stop(self):
        end(self.child)

    def ready(self):
        return Gateway.ready(self)

    def last_ready_time(self):
        return Gateway.last_ready_time(self)


class SmtpSink:
    def __init__(self, work, name, address="127.0.0.1", dump=False):
        self.dir = open_folder(work / name)
        self.address = address
        self.port = free_port()
        argv = [SMTP_SINK, "-u", "nobody"]
        if dump:
            self.dumps = self.dir / "dump"
            self.dumps.mkdir()
            self.dumps.chmod(0o777)  # smtp-sink writes as nobody
            argv += ["-d", str(self.dumps / "%H%M%S.")]
        argv += [f"{address}:{self.port}", "256"]
        self.child = spawn(argv, self.dir / "sink.out")
        wait_tcp(address, self.port, self.child, "smtp-sink")


class Postfix:
    """A private Postfix relaying for one domain into the discard transport, as the tests run
    one: its own configuration, queue and data folders, its log in a file of its own."""

    def __init__(self, work, name, domain):
        self.dir = open_folder(work / name)
        self.port = free_port()
        for sub in ("conf", "queue", "data"):
            (self.dir / sub).mkdir()
        shutil.chown(self.dir / "data", "postfix", "postfix")
        self.log = self.dir / "maillog"
        self.offset = 0
        self.deliveries = []
        (self.dir / "conf" / "main.cf").write_text(
            "compatibility_level = 3.6\n"
            f"queue_directory = {self.dir / 'queue'}\n"
            f"data_directory = {self.dir / 'data'}\n"
            "mail_owner = postfix\nsetgid_group = postdrop\n"
            f"myhostname = mx.{domain}\nmydomain = {domain}\nmyorigin = {domain}\n"
            f"mydestination =\nrelay_domains = {domain}\nmynetworks = 127.0.0.0/8\n"
            "inet_interfaces = 127.0.0.1\ninet_protocols = ipv4\n"
            "smtpd_relay_restrictions = permit_mynetworks, reject\n"
            "default_transport = discard:bench\nrelay_transport = discard:bench\n"
            f"maillog_file = {self.log}\nmaillog_file_prefixes = {self.dir}\n"
            "smtputf8_enable = no\nbiff = no\nalias_maps =\nalias_database =\n")
        (self.dir / "conf" / "master.cf").write_text(
            f"127.0.0.1:{self.port} inet n - n - - smtpd\n"
            "pickup unix n - n 60 1 pickup\n"
            "cleanup unix n - n - 0 cleanup\n"
            "qmgr unix n - n 300 1 qmgr\n"
            "rewrite unix - - n - - trivial-rewrite\n"
            "bounce unix - - n - 0 bounce\n"
            "defer unix - - n - 0 bounce\n"
            "trace unix - - n - 0 bounce\n"
            "verify unix - - n - 1 verify\n"
            "proxymap unix - - n - - proxymap\n"
            "error unix - - n - - error\n"
            "discard unix - - n - - discard\n"
            "anvil unix - - n - 1 anvil\n"
            "scache unix - - n - 1 scache\n"
            "postlog unix-dgram n - n - 1 postlogd\n")
        self.child = spawn([POSTFIX, "-c", self.dir / "conf", "start-fg"], self.dir / "master.out")
        wait_tcp("127.0.0.1", self.port, self.child, "Postfix")

    def delivered(self):
        """The deliveries to discard so far, each with the time this process first saw it in
        the log (time.monotonic()): the log's own times are whole seconds. Reads only what
        the log gained since the last call, so that watching it costs little."""
        if self.log.exists():
            with open(self.log, "rb") as f:
                f.seek(self.offset)
                gained = f.read()
            complete = gained.rfind(b"\n") + 1
            self.offset += complete
            now = time.monotonic()
            for line in gained[:complete].splitlines():
                if b"postfix/discard" in line and b"status=sent" in line:
                    self.deliveries.append(now)
        return self.deliveries

    def stop(self):
        try:
            run([POSTFIX, "-c", self.dir / "conf", "stop"], 30)
            self.child.wait(10)
        except (Failure, subprocess.TimeoutExpired):
            pass
        end(self.child)


class Knot:
    def __init__(self, work, name, address, zones):
        self.dir = open_folder(work / name)
        config = (f"server:\n    rundir: \"{self.dir}\"\n    listen: {address}@53\n"
                  "    tcp-workers: 2\n    udp-workers: 1\n    background-workers: 1\n"
                  "log:\n  - target: stderr\n    any: info\n"
                  f"database:\n    storage: \"{self.dir}\"\n"
                  f"template:\n  - id: default\n    storage: \"{self.dir}\"\n"
                  "    zonefile-sync: -1\n    zonefile-load: whole\n    journal-content: none\n"
                  "zone:\n")
        for i, (origin, text) in enumerate(zones):
            zone = self.dir / f"zone{i}.zone"
            zone.write_text(text)
            config += f"  - domain: \"{origin}\"\n    file: \"{zone}\"\n"
        (self.dir / "knot.conf").write_text(config)
        self.child = spawn([KNOTD, "-c", self.dir / "knot.conf"], self.dir / "knotd.log")
        log = self.dir / "knotd.log"
        if not wait_for(lambda: self.child.poll() is not None or
                        (log.read_text(errors="replace").count("] loaded, serial") >= len(zones)
                         and takes_connections(address, 53)), START_SECONDS) \
                or self.child.poll() is not None:
            raise Failure(f"Knot did not start on {address}:53: "
                          + log.read_text(errors="replace").strip()[-300:])


class ArrivalClock:
    """The moment each file in a folder is closed after writing, taken with time.time() as it
    happens (inotify, read on a thread of its own). File times come from the kernel's coarse
    clock, a tick (up to some 4 ms) behind time.time(): too coarse beside deliveries of a few
    milliseconds."""

    IN_CLOSE_WRITE = 0x8
    IN_NONBLOCK = 0o4000

    def __init__(self, folder):
        import threading
        libc = ctypes.CDLL(None, use_errno=True)
        self.fd = libc.inotify_init1(0)
        if self.fd < 0 or libc.inotify_add_watch(self.fd, str(folder).encode(),
                                                 self.IN_CLOSE_WRITE) < 0:
            raise Failure(f"no inotify watch on {folder}: errno {ctypes.get_errno()}")
        self.times = {}
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        pending = b""
        while True:
            try:
                data = os.read(self.fd, 65536)
            except OSError:
                return
            now = time.time()
            if not data:
                return
            pending += data
            # struct inotify_event: wd, mask, cookie, len, then len bytes of name.
            while len(pending) >= 16:
                length = int.from_bytes(pending[12:16], sys.byteorder)
                if len(pending) < 16 + length:
                    break
                name = pending[16:16 + length].rstrip(b"\0").decode(errors="replace")
                self.times.setdefault(name, now)
                pending = pending[16 + length:]

    def time_of(self, name):
        return self.times.get(name)


def listen_overflows():
    """The kernel's count of connections dropped because a listen queue was full (all
    sockets of the machine): a server with a short backlog shows here."""
    lines = [line.split() for line in Path("/proc/net/netstat").read_text().splitlines()
             if line.startswith("TcpExt:")]
    if len(lines) == 2 and "ListenOverflows" in lines[0]:
        return int(lines[1][lines[0].index("ListenOverflows")])
    return None


def smtp_source(port, sessions, mails, size, timeout, folder, tag):
    """smtp-source with a new connection per mail; (finished, mails it saw done, seconds,
    start wall time, its complaint)."""
    argv = [SMTP_SOURCE, "-c", "-s", sessions, "-m", mails, "-l", size, "-f", "bench@example.org",
            "-t", "12345@fax.localhost", "-M", "relay.example", f"127.0.0.1:{port}"]
    output = folder / f"smtp-source-{tag}.out"
    overflows = listen_overflows()
    wall = time.time()
    start = time.monotonic()
    child = spawn(argv, output)
    try:
        child.wait(timeout)
        finished = child.returncode == 0
    except subprocess.TimeoutExpired:
        finished = False
    seconds = time.monotonic() - start
    end(child)
    # -c writes the count of mails done after each one, each ended by a CR.
    pieces = output.read_text(errors="replace").replace("\r", "\n").splitlines()
    counts = [int(p) for p in pieces if p.isdigit()]
    done = counts[-1] if counts else 0
    said = " ".join(p for p in pieces if p and not p.isdigit())[:200]
    complaints = []
    if said:
        complaints.append("smtp-source: " + said)
    if not finished:
        complaints.append(f"smtp-source stopped after {seconds:.0f} s" if child.returncode is None
                          or child.returncode < 0 else
                          f"smtp-source exited with {child.returncode}")
    after = listen_overflows()
    if overflows is not None and after is not None and after > overflows:
        complaints.append(f"{after - overflows} listen queue overflows meanwhile (kernel, all "
                          "sockets)")
    return finished, done, seconds, wall, "; ".join(complaints)


def with_complaint(note, complaint):
    return note + ("; " + complaint if complaint else "")


# ---------------------------------------------------------------------------------------------
# Results.

class Results:
    def __init__(self):
        self.rows = []

    def add(self, **row):
        row.setdefault("status", "ok")
        self.rows.append(row)
        return row

    def find(self, section, case, system):
        for row in self.rows:
            if (row["section"], row["case"], row["system"]) == (section, case, system):
                return row
        return None


def ratio(ours, peer):
    if ours is None or peer is None or not peer:
        return None
    return ours / peer


def fmt(value, digits=None):
    """A figure to three significant digits, whole numbers from 100 up."""
    if value is None or value == "":
        return "-"
    if isinstance(value, str):
        return value
    if abs(value) >= 100:
        return f"{value:,.0f}"
    return f"{value:.3g}"


def ratio_text(row, which=""):
    value = row.get("ratio" + which)
    if value is None:
        return ""
    return f"{value:.3g}x {row.get('peer' + which)}"


# ---------------------------------------------------------------------------------------------
# The parts.

def bench_receive(args, work, results):
    payload = args.size
    sink = SmtpSink(work, "receive-sink")
    postfix = Postfix(work, "receive-postfix", "fax.localhost")

    def case_of(sessions):
        return f"{args.mails} x {payload // 1024} KB, {sessions} session" + \
            ("s" if sessions > 1 else "")

    # Each system runs at every session count before the next system starts, and Postfix
    # last. Postfix removes each queue file once it is delivered; on ext4 without a journal
    # every file made in the next half minute or so walks past the inodes freed nearby, so
    # a system measured right after Postfix would pay for Postfix's removals as well as its
    # own. Neither smtp-sink nor the gateway removes files while it receives.
    # With --rounds N every system but Postfix runs N times in turn, in the order above, and
    # then Postfix N times; each row is the round with the median rate. One round of a system
    # that takes a second or two moves with whatever else the machine did in that second.
    measured = {}  # (system, sessions) -> its rows, one a round

    def measure(sessions, row):
        measured.setdefault((row["system"], sessions), []).append(row)

    # Each round's files and folders get names of their own.
    tags = [f"-r{index}" for index in range(args.rounds)] if args.rounds > 1 else [""]
    try:
        for tag in tags:
            for sessions in args.sessions:
                measure(sessions, receive_sink(args, work, sink, sessions, tag))
            for sessions in args.sessions:
                measure(sessions, receive_gateway(args, work, sessions, tag=tag))
            if args.decode_threads:
                for sessions in args.sessions:
                    measure(sessions, receive_gateway(
                        args, work, sessions, system=decode_threads_row(args),
                        extra={"DecodeThreads": args.decode_threads}, tag=tag))
            if args.baseline:
                for sessions in args.sessions:
                    measure(sessions, receive_gateway(args, work, sessions, args.baseline,
                                                      BASELINE, tag=tag))
            # It removes no file either.
            for sessions in args.sessions:
                measure(sessions, receive_floor(args, work, sessions, tag))
        for tag in tags:
            for sessions in args.sessions:
                measure(sessions, receive_postfix(args, work, postfix, sessions, tag))
        for (_, sessions), rows in measured.items():
            results.add(section="receive", case=case_of(sessions), **median_round(rows))
        for sessions in args.sessions:
            case = case_of(sessions)
            sink_row = results.find("receive", case, "smtp-sink")
            postfix_row = results.find("receive", case, "Postfix")
            postfix_row.update(ratio=ratio(postfix_row.get("rate"), sink_row.get("rate")),
                               peer="smtp-sink")
            floor_row = results.find("receive", case, FLOOR)
            floor_row.update(ratio=ratio(floor_row.get("rate"), sink_row.get("rate")),
                             peer="smtp-sink",
                             ratio2=ratio(floor_row.get("rate"), postfix_row.get("rate")),
                             peer2="Postfix")
            for system in ("faxmailgw -m", decode_threads_row(args), BASELINE):
                gw_row = results.find("receive", case, system)
                if gw_row is None:
                    continue
                gw_row.update(ratio=ratio(gw_row.get("rate"), sink_row.get("rate")),
                              peer="smtp-sink",
                              ratio2=ratio(gw_row.get("rate"), postfix_row.get("rate")),
                              peer2="Postfix")
    finally:
        postfix.stop()
        end(sink.child)


def median_round(rows):
    """The row of the round with the median rate (the lower of the two middle ones), its note
    naming every round's rate; a round that did not finish counts as the slowest."""
    if len(rows) == 1:
        return rows[0]
    ranked = sorted(rows, key=lambda row: (row.get("rate") or 0.0) if row["status"] == "ok" else -1)
    chosen = dict(ranked[(len(ranked) - 1) // 2])
    rates = ", ".join(fmt(row.get("rate")) if row["status"] == "ok" else row["status"]
                      for row in rows)
    chosen["note"] = f"{chosen.get('note', '')}; median of {len(rows)} rounds ({rates} mails/s)"
    return chosen


def receive_row(args, system, sessions, finished, done, seconds, note, what):
    rate = done / seconds if seconds and done else None
    return dict(system=system, status="ok" if finished and done == args.mails else
                "did not finish", done=done, of=args.mails, seconds=seconds, rate=rate,
                rate_unit="mails/s", mb_per_s=rate * args.size / MB if rate else None,
                latency_ms=seconds * sessions / done * 1000 if done else None,
                latency_what=what, note=note)


CLIENT_TIME = "mean client time per mail: sessions x seconds / mails"


def receive_sink(args, work, sink, sessions, tag=""):
    finished, done, seconds, _, complaint = smtp_source(
        sink.port, sessions, args.mails, args.size, args.timeout, sink.dir, f"{sessions}{tag}")
    return receive_row(args, "smtp-sink", sessions, finished, done, seconds,
                       with_complaint("acknowledged by smtp-sink, nothing stored", complaint),
                       CLIENT_TIME)


def receive_postfix(args, work, postfix, sessions, tag=""):
    before = len(postfix.delivered())
    start = time.monotonic()
    finished, acked, source_seconds, _, complaint = smtp_source(
        postfix.port, sessions, args.mails, args.size, args.timeout, postfix.dir,
        f"{sessions}{tag}")
    wait_count(lambda: len(postfix.delivered()) - before, acked,
               max(1.0, args.timeout - source_seconds))
    times = postfix.delivered()[before:]
    done = len(times)
    seconds = times[-1] - start if times else None
    note = with_complaint(f"smtp-source saw {acked} acknowledged; counted as delivered to "
                          "discard in its log", complaint)
    row = receive_row(args, "Postfix", sessions, finished and done >= acked, done, seconds, note,
                      CLIENT_TIME)
    row["latency_ms"] = source_seconds * sessions / acked * 1000 if acked else None
    return row


def receive_floor(args, work, sessions, tag=""):
    try:
        floor = Floor(work, f"receive-floor-{sessions}{tag}")
    except Failure as failure:
        return dict(system=FLOOR, status="failed", of=args.mails, note=str(failure))
    try:
        finished, acked, source_seconds, wall, complaint = smtp_source(
            floor.port, sessions, args.mails, args.size, args.timeout, floor.dir,
            f"{sessions}{tag}")
        wait_count(lambda: len(floor.ready()), acked if finished else args.mails,
                   max(1.0, args.timeout - source_seconds), OUT_POLL_SECONDS)
        done = len(floor.ready())
        last = floor.last_ready_time()
        seconds = last - wall if last is not None else None
        note = with_complaint(f"smtp-source saw {acked} acknowledged; counted as ready "
                              "envelopes in OUT; 3 files, 3 data syncs, 3 renames a mail",
                              complaint)
        row = receive_row(args, FLOOR, sessions, finished and done >= acked, done, seconds,
                          note, CLIENT_TIME)
        row["latency_ms"] = source_seconds * sessions / acked * 1000 if acked else None
        return row
    finally:
        floor.stop()


def decode_threads_row(args):
    return f"faxmailgw -m, DecodeThreads={args.decode_threads}"


def receive_gateway(args, work, sessions, program=GATEWAY, system="faxmailgw -m", extra=None,
                    tag=""):
    settings = {"ListenBacklog": args.backlog} if args.backlog else {}
    settings.update(extra or {})
    kind = "base" if program != GATEWAY else "dt" if extra else "gw"
    gateway = Gateway(work, f"receive-{kind}-{sessions}{tag}", settings, program)
    try:
        gateway.start()
        finished, acked, source_seconds, wall, complaint = smtp_source(
            gateway.port, sessions, args.mails, args.size, args.timeout, gateway.dir,
            f"{sessions}{tag}")
        # What was acknowledged is decoded in the end; when smtp-source gave up, its count may
        # be short by mails whose reply it did not read, so the wait is for them all.
        wait_count(lambda: len(gateway.ready()), acked if finished else args.mails,
                   max(1.0, args.timeout - source_seconds), OUT_POLL_SECONDS)
        done = len(gateway.ready())
        last = gateway.last_ready_time()
        seconds = last - wall if last is not None else None
        refused = gateway.main_log().count(REFUSED)
        note = with_complaint(f"smtp-source saw {acked} acknowledged; counted as ready "
                              f"envelopes in OUT; {refused} connections refused over its limit",
                              complaint)
        row = receive_row(args, system, sessions, finished and done >= acked, done,
                          seconds, note, CLIENT_TIME)
        row["latency_ms"] = source_seconds * sessions / acked * 1000 if acked else None
        return row
    except Failure as failure:
        return dict(system=system, status="failed", of=args.mails, note=str(failure))
    finally:
        gateway.stop()


def wait_count(count, target, seconds, poll=POLL_SECONDS):
    """Waits until count() reaches target, has not grown for STALL_SECONDS, or seconds have
    passed; whether it reached target."""
    end_time = time.monotonic() + seconds
    last, since = count(), time.monotonic()
    while last < target:
        now = time.monotonic()
        if now > end_time or now - since > STALL_SECONDS:
            return False
        time.sleep(poll)
        current = count()
        if current != last:
            last, since = current, time.monotonic()
    return True


# Decode corpus: the generated messages are fixed by their seeds.

def b64_lines(data):
    encoded = base64.b64encode(data)
    return b"".join(encoded[i:i + 76] + b"\r\n" for i in range(0, len(encoded), 76))


def random_bytes(size, seed):
    return random.Random(seed).randbytes(size)


def qp_text(size, seed):
    words = ["the ", "fax ", "gateway ", "caf\xe9 ", "message ", "line ", "d\xfcrfen ", "and "]
    rng = random.Random(seed)
    lines, line, total = [], "", 0
    while total < size:
        for ch in rng.choice(words):
            line += f"={ord(ch):02X}" if ord(ch) >= 0x80 or ch == "=" else ch
        if len(line) >= 72:
            lines.append(line + ("=" if rng.random() < 0.5 else ""))
            total += len(line) + 2
            line = ""
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


HEAD = (b"From: Bench Sender <bench@example.org>\r\nTo: 12345@fax.localhost\r\n"
        b"Subject: %s\r\nMIME-Version: 1.0\r\n")


def large_base64_mail(mb, seed=1):
    """A mail of about mb MB: a short text and one base64 attachment."""
    head = HEAD % b"large attachment" + (
        b"Content-Type: multipart/mixed; boundary=\"=_bench\"\r\n\r\n"
        b"--=_bench\r\nContent-Type: text/plain\r\n\r\nSee the attachment.\r\n"
        b"--=_bench\r\nContent-Type: image/tiff; name=fax.tif\r\n"
        b"Content-Transfer-Encoding: base64\r\n"
        b"Content-Disposition: attachment; filename=fax.tif\r\n\r\n")
    size = int(mb * MB * 57 / 78)  # 57 bytes become a line of 76 characters and CR LF
    return head + b64_lines(random_bytes(size, seed)) + b"--=_bench--\r\n"


def write_big_mail(path, mb):
    """A mail like large_base64_mail's, written a block at a time."""
    head = large_base64_mail(0)
    tail = b"--=_bench--\r\n"
    rng = random.Random(7)
    left = int(mb * MB * 57 / 78)
    block = 57 * 20000  # 20,000 lines at a time
    with open(path, "wb") as out:
        out.write(head[:-len(tail)])
        while left > 0:
            n = min(block, left)
            out.write(b64_lines(rng.randbytes(n)))
            left -= n
        out.write(tail)


def many_parts_mail(mb, seed=2):
    rng = random.Random(seed)
    body = [HEAD % b"many parts" + b"Content-Type: multipart/mixed; boundary=\"=_many\"\r\n\r\n"]
    size = 0
    n = 0
    while size < mb * MB:
        n += 1
        if n % 4 == 0:
            part = (b"--=_many\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n" +
                    b"A short note of one of many parts, about seventy characters long.\r\n" * 20)
        else:
            part = (b"--=_many\r\nContent-Type: application/octet-stream; name=p%d.bin\r\n"
                    b"Content-Transfer-Encoding: base64\r\n\r\n" % n +
                    b64_lines(rng.randbytes(3000 + rng.randrange(6000))))
        body.append(part)
        size += len(part)
    body.append(b"--=_many--\r\n")
    return b"".join(body)


def qp_mail(mb, seed=3):
    return (HEAD % b"quoted-printable" + b"Content-Type: text/plain; charset=iso-8859-1\r\n"
            b"Content-Transfer-Encoding: quoted-printable\r\n\r\n" + qp_text(int(mb * MB), seed))


def nested_mail(mb, levels=20, seed=4):
    """Enclosed messages one inside the other, an attachment at each level."""
    rng = random.Random(seed)
    inner = b"Subject: innermost\r\n\r\nThe innermost text.\r\n"
    for level in range(levels):
        b = b"=_level%d" % level
        inner = (HEAD % (b"level %d" % level) + b"Content-Type: multipart/mixed; boundary=\"" +
                 b + b"\"\r\n\r\n--" + b + b"\r\nContent-Type: text/plain\r\n\r\nLevel text.\r\n"
                 b"--" + b + b"\r\nContent-Type: application/pdf; name=l.pdf\r\n"
                 b"Content-Transfer-Encoding: base64\r\n\r\n" +
                 b64_lines(rng.randbytes(int(mb * MB * 57 / 78 / levels))) +
                 b"--" + b + b"\r\nContent-Type: message/rfc822\r\n\r\n" + inner +
                 b"\r\n--" + b + b"--\r\n")
    return inner


def smtp_bytes(data):
    """A message as it goes over SMTP and into the spool: no mbox line, CR LF line ends."""
    if data.startswith(b"From "):
        data = data[data.find(b"\n") + 1:]
    data = data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    return data if data.endswith(b"\r\n") else data + b"\r\n"


def make_corpus(args, work):
    real = work / "corpus" / "real_mail"
    large = work / "corpus" / "large"
    real.mkdir(parents=True)
    large.mkdir(parents=True)
    for source in sorted((TOP / "tests" / "data" / "real_mail").glob("*.eml")):
        (real / source.name).write_bytes(smtp_bytes(source.read_bytes()))
    mb = args.corpus_mb
    (large / "base64.eml").write_bytes(large_base64_mail(mb * 0.4))
    (large / "quoted-printable.eml").write_bytes(qp_mail(mb * 0.2))
    (large / "many-parts.eml").write_bytes(many_parts_mail(mb * 0.2))
    (large / "nested.eml").write_bytes(nested_mail(mb * 0.2))
    return [("real mail (interop set)", sorted(real.iterdir()), args.runs * 4),
            ("large generated", sorted(large.iterdir()), args.runs)]


def corpus_figures(text):
    match = re.search(r"corpus files=(\d+) bytes=(\d+) seconds=([\d.]+)", text)
    if not match:
        raise Failure("no corpus line in: " + text.strip()[-200:])
    return int(match.group(1)), int(match.group(2)), float(match.group(3))


def bench_decode(args, work, results):
    env = dict(os.environ, TMP=str(open_folder(work / "decode-tmp")))
    for name, files, runs in make_corpus(args, work):
        size = sum(f.stat().st_size for f in files)
        case = f"{name}: {len(files)} files, {size / MB:.1f} MB, best of {runs}"
        rows = {}
        for system, argv in (("decode_bench", [DECODE_BENCH, "corpus", runs, *files]),
                             ("Python email", [PYTHON, EMAIL_DECODE, "corpus", runs, *files])):
            try:
                count, total, seconds = corpus_figures(run(argv, args.timeout, env))
                rows[system] = results.add(
                    section="decode", case=case, system=system, done=count, of=len(files),
                    seconds=seconds, rate=total / MB / seconds, rate_unit="MB/s",
                    mb_per_s=total / MB / seconds, latency_ms=seconds / count * 1000,
                    latency_what="mean per message",
                    note="as the receiver: spool files in text mode, attachments digested "
                    "where they carry Content-MD5" if system == "decode_bench" else
                    "default policy, get_payload(decode=True) for every leaf")
            except Failure as failure:
                rows[system] = results.add(section="decode", case=case, system=system,
                                           status="failed", of=len(files), note=str(failure))
        ours = rows["decode_bench"]
        ours.update(ratio=ratio(ours.get("rate"), rows["Python email"].get("rate")),
                    peer="Python email")


NOTIFICATION = ("FROM: Fax Server <fax@fax.localhost>\r\nTO: Alice <alice@dest.test>\r\n"
                "SUBJECT: Fax sent OK to 5551234\r\n\r\nBEGIN BODY\r\n\r\n"
                "Your fax was sent.\r\nPages: 1\r\nReference: bench-notification-{n:05d}\r\n"
                "\r\nEND BODY\r\n\r\n")


def bench_outbound(args, work, results):
    """Two measurements on one gateway: the latency of ready files that arrive one at a time
    (each to an idle sender), then the rate of a burst put into IN at once."""
    spaced, n = args.spaced, args.notifications
    spaced_case = f"{spaced} notifications, one every {SPACED_SECONDS * 1000:.0f} ms"
    burst_case = f"{n} notifications put into IN at once"
    knot = sink = gateway = None
    try:
        zone = ("$ORIGIN dest.test.\n$TTL 3600\n@ SOA ns hostmaster 1 3600 600 86400 300\n"
                f"@ NS ns\nns A {args.dns_address}\n@ MX 10 127.0.0.1.\n")
        knot = Knot(work, "outbound-knot", args.dns_address, [("dest.test.", zone)])
        sink = SmtpSink(work, "outbound-sink", dump=True)
        clock = ArrivalClock(sink.dumps)
        gateway = Gateway(work, "outbound-gw", {"DNSName": args.dns_address,
                                                "SmtpTxPort": sink.port})
        gateway.start()
        if not wait_for(lambda: "SMTPOut- No messages to send." in gateway.main_log(),
                        START_SECONDS):
            raise Failure("the sender did not report its first idle poll")
        incoming = gateway.data / "IN"
        readied, arrived, seen = {}, {}, set()

        def put(numbers):
            """Writes the files under other names first, then gives each its ready name."""
            for i in numbers:
                (incoming / f"n{i:05d}.new").write_bytes(NOTIFICATION.format(n=i).encode())
            for i in numbers:
                os.rename(incoming / f"n{i:05d}.new", incoming / f"n{i:05d}.tmp")
                readied[i] = time.time()

        def collect(numbers):
            def count():
                with os.scandir(sink.dumps) as entries:
                    for entry in entries:
                        if entry.name in seen:
                            continue
                        text = Path(entry.path).read_bytes()
                        match = re.search(rb"bench-notification-(\d{5})", text)
                        if not match:
                            continue  # still being written
                        closed = clock.time_of(entry.name)
                        if closed is None:
                            continue  # its close not read yet
                        seen.add(entry.name)
                        arrived[int(match.group(1))] = (closed, len(text))
                return sum(1 for i in numbers if i in arrived)
            return count

        # One file at a time, each after the one before has long arrived: the time from its
        # ready name to its arrival is what a single notification waits. The files span a
        # whole poll period, so a sender that only polled would show it.
        spaced_numbers = range(spaced)
        start = time.monotonic()
        for k, i in enumerate(spaced_numbers):
            put([i])
            time.sleep(max(0.0, start + (k + 1) * SPACED_SECONDS - time.monotonic()))
        finished = wait_count(collect(spaced_numbers), spaced, args.timeout)
        latencies = sorted(arrived[i][0] - readied[i] for i in spaced_numbers if i in arrived)
        spaced_row = results.add(
            section="outbound", case=spaced_case, system="faxmailgw -m",
            status="ok" if finished else "did not finish", done=len(latencies), of=spaced,
            latency_ms=statistics.median(latencies) * 1000 if latencies else None,
            latency_what="median, ready name to dump at smtp-sink",
            note=(f"each file given its ready name {SPACED_SECONDS * 1000:.0f} ms after the one "
                  f"before, longer than a delivery takes, so each finds the sender idle (its "
                  f"poll of IN every {SENDER_POLL_SECONDS} s would leave it some "
                  f"{SENDER_POLL_SECONDS / 2:.0f} s); latency from the rename to smtp-sink's "
                  f"close of its dump (inotify): fastest {fmt(latencies[0] if latencies else None)} s, "
                  f"90th percentile {fmt(percentile(latencies, 0.9))} s, slowest "
                  f"{fmt(latencies[-1] if latencies else None)} s"))

        # The burst: every file at once, to an idle sender.
        if not wait_for(lambda: not any(incoming.glob("*.tmp")), START_SECONDS):
            raise Failure("ready files of the spaced run are still in IN")
        time.sleep(0.5)
        burst_numbers = range(spaced, spaced + n)
        put(burst_numbers)
        finished = wait_count(collect(burst_numbers), n, args.timeout)
        burst = {i: arrived[i] for i in burst_numbers if i in arrived}
        latencies = sorted(burst[i][0] - readied[i] for i in burst)
        times = sorted(t for t, _ in burst.values())
        rate = (len(times) - 1) / (times[-1] - times[0]) if len(times) > 1 and \
            times[-1] > times[0] else None
        mean_size = int(statistics.mean(s for _, s in burst.values())) if burst else 1000
        gw_row = results.add(
            section="outbound", case=burst_case, system="faxmailgw -m",
            status="ok" if finished else "did not finish", done=len(burst), of=n,
            seconds=times[-1] - min(readied[i] for i in burst_numbers) if times else None,
            rate=rate, rate_unit="mails/s", mb_per_s=rate * mean_size / MB if rate else None,
            latency_ms=statistics.median(latencies) * 1000 if latencies else None,
            latency_what="median, ready name to dump at smtp-sink",
            note=(f"rate from the first arrival to the last; one mail in delivery at a time, "
                  f"so the median latency of a burst is about half its length; first mail "
                  f"{fmt(latencies[0] if latencies else None)} s after its ready name; mails "
                  f"of {mean_size} bytes as dumped"))
        # The peer: the same sink taking as many mails of that size from smtp-source, one
        # connection after another.
        finished, done, seconds, _, complaint = smtp_source(
            sink.port, 1, n, max(0, mean_size - 250), args.timeout, sink.dir, "outbound")
        peer_rate = done / seconds if done and seconds else None
        peer_ms = seconds / done * 1000 if done else None
        results.add(section="outbound", case=burst_case, system="smtp-source",
                    status="ok" if finished else "did not finish", done=done, of=n,
                    seconds=seconds, rate=peer_rate, rate_unit="mails/s",
                    mb_per_s=peer_rate * mean_size / MB if peer_rate else None,
                    latency_ms=peer_ms, latency_what="mean per mail, one session",
                    note=with_complaint("the same sink, mails of the same size, a new "
                                        "connection per mail", complaint))
        gw_row.update(ratio=ratio(rate, peer_rate), peer="smtp-source")
        # A single notification's wait beside what one mail costs smtp-source.
        spaced_row.update(ratio=ratio(spaced_row.get("latency_ms"), peer_ms),
                          peer="smtp-source per mail")
    except Failure as failure:
        results.add(section="outbound", case=burst_case, system="faxmailgw -m",
                    status="failed", of=n, note=str(failure))
    finally:
        for part in (gateway,):
            if part:
                part.stop()
        for part in (sink, knot):
            if part:
                end(part.child)


def percentile(values, fraction):
    """The value below which that fraction of the sorted values lies (nearest rank)."""
    if not values:
        return None
    return values[max(0, min(len(values) - 1, int(round(len(values) * fraction)) - 1))]


def send_file(port, path, timeout):
    """One mail over SMTP from a file of CR LF lines none of which begins with a dot; the
    seconds from the connection to the reply to its end line."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        reader = s.makefile("rb")

        def expect(code):
            line = reader.readline(1000)
            if not line.startswith(code):
                raise Failure(f"gateway answered {line[:100]!r}, {code.decode()} expected")

        start = time.monotonic()
        expect(b"220")
        for command, code in ((b"HELO relay.example", b"250"),
                              (b"MAIL FROM:<bench@example.org>", b"250"),
                              (b"RCPT TO:<12345@fax.localhost>", b"250"), (b"DATA", b"354")):
            s.sendall(command + b"\r\n")
            expect(code)
        with open(path, "rb") as f:
            while block := f.read(1 << 20):
                s.sendall(block)
        s.sendall(b".\r\n")
        expect(b"250")
        acked = time.monotonic() - start
        s.sendall(b"QUIT\r\n")
        reader.readline(1000)
        return acked


def bench_memory(args, work, results):
    mail = work / "memory.eml"
    write_big_mail(mail, args.memory_mb)
    size = mail.stat().st_size
    case = f"one mail of {size / MB:.0f} MB (base64 attachment)"
    gateway = Gateway(work, "memory-gw")
    try:
        gateway.start()
        time.sleep(1)  # let its threads settle before the base line is taken
        before = gateway.memory_kb("VmHWM")
        start = time.monotonic()
        acked = send_file(gateway.port, mail, args.timeout)
        finished = wait_for(lambda: len(gateway.ready()) >= 1, args.timeout)
        seconds = time.monotonic() - start
        after = gateway.memory_kb("VmHWM")
        ours = results.add(
            section="memory", case=case, system="faxmailgw -m",
            status="ok" if finished else "did not finish", done=len(gateway.ready()), of=1,
            seconds=seconds, rate=size / MB / seconds, rate_unit="MB/s",
            mb_per_s=size / MB / seconds, memory_kb=after - before,
            latency_ms=acked * 1000, latency_what="connection to the 250 reply",
            note=f"VmHWM {before} kB idle, {after} kB after the ready envelope; seconds to "
                 "the ready envelope")
    except (Failure, OSError) as failure:
        ours = results.add(section="memory", case=case, system="faxmailgw -m", status="failed",
                           of=1, note=str(failure))
    finally:
        gateway.stop()
    try:
        text = run([PYTHON, EMAIL_DECODE, "memory", mail], args.timeout)
        match = re.search(r"bytes=(\d+) seconds=([\d.]+) grew_kb=(\d+)", text)
        if not match:
            raise Failure("no memory line in: " + text[-200:])
        seconds = float(match.group(2))
        peer = results.add(section="memory", case=case, system="Python email", done=1, of=1,
                           seconds=seconds, rate=size / MB / seconds, rate_unit="MB/s",
                           mb_per_s=size / MB / seconds, memory_kb=int(match.group(3)),
                           note="ru_maxrss growth: reading the file, parsing, decoding")
        ours.update(ratio=ratio(ours.get("memory_kb"), peer["memory_kb"]), peer="Python email")
    except Failure as failure:
        results.add(section="memory", case=case, system="Python email", status="failed", of=1,
                    note=str(failure))
    mail.unlink()


# ---------------------------------------------------------------------------------------------
# Output.

def print_table(results, args):
    print()
    print(f"faxmailgw beside its peers, {time.strftime('%Y-%m-%d %H:%M %Z')}, "
          f"{os.cpu_count()} cores, load {os.getloadavg()[0]:.1f} at the end")
    heads = ("system", "status", "done", "seconds", "rate", "MB/s", "latency ms", "memory kB",
             "ratio (ours/peer)")
    sections = []
    for row in results.rows:
        if row["section"] not in sections:
            sections.append(row["section"])
    for section in sections:
        print()
        print(section.upper() + {
            "receive": "   rate: mails done/s; latency: mean client time per mail "
                       "(sessions x seconds / mails)",
            "decode": "    rate: MB/s of message text; latency: mean per message",
            "outbound": "  rate: mails/s, first arrival to last; latency: median, ready name to "
                        "smtp-sink; ratio of the spaced row: its latency / smtp-source's time "
                        "per mail",
            "memory": "    rate: MB/s to the ready envelope; memory: peak RSS growth, kB; "
                      "ratio: lower is better",
        }.get(section, ""))
        cases = []
        for row in results.rows:
            if row["section"] == section and row["case"] not in cases:
                cases.append(row["case"])
        for case in cases:
            print(f"  {case}")
            lines = [heads]
            for row in results.rows:
                if (row["section"], row["case"]) != (section, case):
                    continue
                ratios = "; ".join(r for r in (ratio_text(row), ratio_text(row, "2")) if r)
                lines.append((row["system"], row["status"],
                              f"{row.get('done', 0) or 0}/{row.get('of', '')}",
                              fmt(row.get("seconds")), fmt(row.get("rate")),
                              fmt(row.get("mb_per_s")), fmt(row.get("latency_ms")),
                              fmt(row.get("memory_kb")), ratios))
            widths = [max(len(line[i]) for line in lines) for i in range(len(heads))]
            for line in lines:
                print("    " + "  ".join(cell.ljust(w) if i in (0, 1, 8) else cell.rjust(w)
                                        for i, (cell, w) in enumerate(zip(line, widths))))
            for row in results.rows:
                if (row["section"], row["case"]) == (section, case) and row.get("note"):
                    print(f"      {row['system']}: {row['note']}")


def write_csv(results, path):
    with open(path, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=CSV_FIELDS, extrasaction="ignore")
        writer.writeheader()
        for row in results.rows:
            writer.writerow({k: ("" if row.get(k) is None else
                                 f"{row[k]:.6g}" if isinstance(row.get(k), float) else row[k])
                             for k in CSV_FIELDS})


def write_chart(results, path, args):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 2, figsize=(14, 9.5))
    fig.suptitle(f"faxmailgw beside its peers ({time.strftime('%Y-%m-%d %H:%M')}, "
                 f"{args.mails} mails of {args.size // 1024} KB per receive run)")
    colours = {"smtp-sink": "#9e9e9e", "Postfix": "#5b8def", "faxmailgw -m": "#e8743b",
               FLOOR: "#6abf69", decode_threads_row(args): "#b0413e",
               "decode_bench": "#e8743b", "Python email": "#5b8def", "smtp-source": "#9e9e9e"}

    # Above this many bars in a group the labels are set smaller, and name no peer (the title
    # does), so that neighbours do not run into each other.
    crowded = 4

    def bars(ax, groups, systems, value, title, ylabel, log=False, label=fmt):
        width = 0.8 / max(1, len(systems))
        small = len(systems) > crowded
        for k, system in enumerate(systems):
            xs, ys, texts = [], [], []
            for g, (group, rows) in enumerate(groups):
                row = rows.get(system)
                if row is None:
                    continue
                v = row.get(value)
                xs.append(g + (k - (len(systems) - 1) / 2) * width)
                ys.append(v or 0)
                text = label(v) if v else "n/a"
                if row.get("ratio") is not None:
                    text += f"\n{row['ratio']:.2g}x" + ("" if small else f" {row['peer']}")
                if row.get("status") != "ok":
                    text += "\n" + row.get("status", "")
                texts.append(text)
            drawn = ax.bar(xs, [y if y else (1e-3 if log else 0) for y in ys], width,
                           label=system, color=colours.get(system))
            for bar, text in zip(drawn, texts):
                ax.annotate(text, (bar.get_x() + bar.get_width() / 2, bar.get_height()),
                            ha="center", va="bottom", fontsize=6 if small else 7)
        if not groups:
            ax.text(0.5, 0.5, "not run", ha="center", va="center", transform=ax.transAxes)
        ax.set_xticks(range(len(groups)))
        ax.set_xticklabels([g for g, _ in groups], fontsize=8)
        ax.set_title(title, fontsize=10)
        ax.set_ylabel(ylabel)
        if log:
            ax.set_yscale("log")
            drawn_values = [r.get(value) for _, rows in groups for r in rows.values()
                            if r.get(value)]
            if drawn_values:
                ax.set_ylim(min(drawn_values) / 5, max(drawn_values) * 5)
        ax.legend(fontsize=8)

    def grouped(section, label):
        groups = []
        for row in results.rows:
            if row["section"] != section:
                continue
            name = label(row["case"])
            for g, rows in groups:
                if g == name:
                    rows[row["system"]] = row
                    break
            else:
                groups.append((name, {row["system"]: row}))
        return groups

    bars(axes[0][0], grouped("receive", lambda c: c.split(", ")[-1]),
         ["smtp-sink", "Postfix", "faxmailgw -m"] +
         ([decode_threads_row(args)] if args.decode_threads else []) + [FLOOR], "rate",
         "Receive: mails/s (smtp-source, a new connection per mail; ratios: of smtp-sink)",
         "mails/s", log=True)
    bars(axes[0][1], grouped("decode", lambda c: c.split(":")[0]),
         ["decode_bench", "Python email"], "rate", "Decode: MB/s over the same files", "MB/s",
         log=True)
    title = "Outbound to smtp-sink: mails/s of a burst"
    for row in results.rows:
        if row["section"] == "outbound" and row["system"] == "faxmailgw -m" and \
                row.get("latency_ms") and row.get("rate") is None:
            title += (f"\ngateway, files one at a time: median {row['latency_ms']:.0f} ms from "
                      f"the ready name to smtp-sink")
    # The latency row has no rate: it is in the title.
    bars(axes[1][0], [g for g in grouped("outbound", lambda c: c)
                      if any(r.get("rate") for r in g[1].values())],
         ["smtp-source", "faxmailgw -m"], "rate", title, "mails/s", log=True)
    bars(axes[1][1], grouped("memory", lambda c: c), ["faxmailgw -m", "Python email"],
         "memory_kb", "Memory: peak resident growth for one large mail (lower is better)",
         "kB", log=True, label=lambda v: f"{v:,.0f} kB" if v else "n/a")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# ---------------------------------------------------------------------------------------------

PARTS = ("receive", "decode", "outbound", "memory")


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="bench/run-all", description="faxmailgw beside its peers: receive, decode, "
        "outbound, memory; a table, results.csv and results.png.")
    parser.add_argument("--quick", action="store_true",
                        help="a smoke run: 200 mails, 20 notifications (10 spaced), small "
                             "corpus and mail")
    parser.add_argument("--mails", type=int, help="mails per receive run (2000)")
    parser.add_argument("--size", type=int, default=10240, help="payload bytes per mail (10240)")
    parser.add_argument("--sessions", default="1,10,20", help="session counts (1,10,20)")
    parser.add_argument("--notifications", type=int,
                        help="ready files of the outbound burst (200)")
    parser.add_argument("--spaced", type=int,
                        help=f"ready files of the outbound latency run, one every "
                             f"{SPACED_SECONDS * 1000:.0f} ms (50)")
    parser.add_argument("--memory-mb", type=float, help="size of the large mail in MB (100)")
    parser.add_argument("--corpus-mb", type=float, help="size of the generated corpus (50)")
    parser.add_argument("--runs", type=int, help="decode passes, the best counted (3)")
    parser.add_argument("--rounds", type=int, default=1,
                        help="receive runs of each system, the median counted (1)")
    parser.add_argument("--timeout", type=float, default=600,
                        help="seconds any one step may take (600)")
    parser.add_argument("--only", default=",".join(PARTS), help="parts to run: " +
                        ",".join(PARTS))
    parser.add_argument("--dns-address", default=DNS_ADDRESS,
                        help=f"loopback address for the private Knot ({DNS_ADDRESS})")
    parser.add_argument("--out", type=Path, default=TOP / "bench" / "out",
                        help="folder for results.csv and results.png (bench/out)")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    parser.add_argument("--backlog", type=int, default=RECEIVE_BACKLOG,
                        help=f"ListenBacklog of the receiving gateway ({RECEIVE_BACKLOG}; "
                             "0 leaves the value absent, the listener's 5)")
    parser.add_argument("--decode-threads", type=int, default=RECEIVE_DECODE_THREADS,
                        help="DecodeThreads of the gateway's second receive row "
                             f"({RECEIVE_DECODE_THREADS}; 0 leaves the row out)")
    parser.add_argument("--baseline", type=Path,
                        help="another faxmailgw binary, measured beside the build's in the "
                             "receive part (a row of its own, same peers, same run)")
    args = parser.parse_args(argv)
    quick = args.quick
    args.mails = args.mails or (200 if quick else 2000)
    args.notifications = args.notifications or (20 if quick else 200)
    args.spaced = args.spaced or (10 if quick else 50)
    args.memory_mb = args.memory_mb or (10 if quick else 100)
    args.corpus_mb = args.corpus_mb or (5 if quick else 50)
    args.runs = args.runs or (1 if quick else 3)
    args.sessions = [int(s) for s in args.sessions.split(",") if s]
    args.only = [p for p in args.only.split(",") if p]
    for part in args.only:
        if part not in PARTS:
            parser.error(f"no part {part!r}; parts: {', '.join(PARTS)}")
    if args.rounds < 1 or args.mails < 1 or args.notifications < 1 or args.spaced < 1 or \
            not args.sessions or min(args.sessions) < 1 or args.size < 0:
        parser.error("counts must be positive")
    return args


def main(argv):
    args = parse_args(argv)
    if os.geteuid() != 0:
        print("bench/run-all: needs root (Knot on port 53, Postfix's private instance)",
              file=sys.stderr)
        return 2
    for program in (GATEWAY, FAXMAILREG, DECODE_BENCH, SPOOL_FLOOR, SMTP_SOURCE, SMTP_SINK, POSTFIX, KNOTD):
        if not os.access(program, os.X_OK):
            print(f"bench/run-all: {program} is missing", file=sys.stderr)
            return 2

    def stop(signum, _frame):
        print(f"bench: stopped by signal {signum}; ending what was started", file=sys.stderr)
        raise SystemExit(128 + signum)

    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, stop)
    # Not under /tmp: on ext4 without a journal every file made there pays for the files that
    # builds and test runs removed nearby in the last minutes. bench/out is the bench's own.
    work_parent = open_folder(args.out)
    if len(str(work_parent)) > WORK_PARENT_LIMIT:
        work_parent = Path(tempfile.gettempdir())
    work = Path(tempfile.mkdtemp(prefix="faxbench.", dir=work_parent))
    work.chmod(0o755)
    results = Results()
    try:
        for part in PARTS:
            if part not in args.only:
                continue
            print(f"bench: {part} ...", file=sys.stderr, flush=True)
            started = time.monotonic()
            try:
                globals()["bench_" + part](args, work, results)
            except Failure as failure:
                results.add(section=part, case="-", system="-", status="failed",
                            note=str(failure))
            print(f"bench: {part} took {time.monotonic() - started:.0f} s", file=sys.stderr,
                  flush=True)
    finally:
        end_all()
        if args.keep:
            print(f"bench: temporary folder kept: {work}", file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)
    args.out.mkdir(parents=True, exist_ok=True)
    print_table(results, args)
    write_csv(results, args.out / "results.csv")
    write_chart(results, args.out / "results.png", args)
    print(f"\nwritten: {args.out / 'results.csv'}, {args.out / 'results.png'}")
    return 0 if all(row["status"] == "ok" for row in results.rows) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
