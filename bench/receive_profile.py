#!/usr/bin/python3
"""What one received mail costs the gateway, in figures that a busy machine does not move.

    bench/receive_profile.py [--sessions 20] [--mails 2000] [--size 10240] [--work DIR]
                             [--calls | --strace | --record] [--runs N] [--keep]
                             [--backlog N] [--program FAXMAILGW] [--against FAXMAILGW]
                             [--setting NAME=VALUE ...]

Runs a fresh faxmailgw -m (release build) on the default configuration and smtp-source with a
new connection per mail against it, waits until every acknowledged mail is a ready envelope in
OUT, and prints per 1000 mails the gateway's CPU seconds (user and system, from /proc) and,
with --strace, per mail the system calls that decide the disk's and the kernel's work: file
and folder syncs, opens, directory listings, renames, unlinks. Wall-clock rates are printed
too but say little on a shared machine. --calls counts the calls with perf's system call
trace points (cheap enough to leave the rates as they are); --strace counts with strace, which
slows the gateway down so much that syncs which sessions share at full speed are counted one
by one.

The work folder (default bench/out/profile) must not be under /tmp: on ext4 every new file
walks past the inodes freed nearby in the last half minute, and builds delete many files
there. Each run gets a folder of its own, removed at the end unless --keep.
"""

import argparse
import os
import re
import shutil
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run_all  # noqa: E402  (the bench's helpers: Gateway, smtp-source, waiting)

# The calls counted, in the order they are printed.
COUNTED = ["fsync", "fdatasync", "sync_file_range", "syncfs", "openat", "getdents64", "rename",
           "renameat", "renameat2", "link", "linkat", "unlink", "unlinkat", "flock", "newfstatat",
           "inotify_add_watch", "read", "write"]


class ProfiledGateway(run_all.Gateway):
    def __init__(self, work, name, prefix, settings, program):
        super().__init__(work, name, settings, program)
        self.prefix = prefix

    def start(self):
        self.child = run_all.spawn(self.prefix + [self.program, "-m"],
                                   self.dir / "console.out", self.env,
                                   stdin=run_all.subprocess.PIPE)
        run_all.wait_tcp("127.0.0.1", self.port, self.child, "faxmailgw -m")

    def gateway_pid(self):
        if not self.prefix:
            return self.child.pid
        # Under strace or perf the gateway is their child.
        for _ in range(100):
            children = Path(f"/proc/{self.child.pid}/task/{self.child.pid}/children")
            text = children.read_text().split() if children.exists() else []
            if text:
                return int(text[0])
            time.sleep(0.05)
        raise run_all.Failure("no gateway process under strace")


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return int(fields[11]) / ticks, int(fields[12]) / ticks  # utime, stime


def strace_counts(path):
    counts = {}
    for line in Path(path).read_text().splitlines():
        parts = line.split()
        if len(parts) >= 5 and parts[-1] in COUNTED and parts[3].isdigit():
            counts[parts[-1]] = int(parts[3])
    return counts


def perf_counts(path):
    counts = {}
    for line in Path(path).read_text().splitlines():
        parts = line.split(",")
        if len(parts) >= 3 and parts[2].startswith("syscalls:sys_enter_") and parts[0].isdigit():
            counts[parts[2][len("syscalls:sys_enter_"):]] = int(parts[0])
    return counts


def one_run(args, work, index, program, tag=""):
    name = f"run-{index}{tag}"
    trace = work / f"{name}.strace"
    if args.strace:
        prefix = ["strace", "-f", "-c", "-o", str(trace)]
    elif args.record:
        # CALLGRAPH=dwarf unwinds through code built without frame pointers.
        prefix = ["perf", "record", "--call-graph", os.environ.get("CALLGRAPH", "fp"), "-o",
                  str(work / f"{name}.perf"), "--"]
    elif args.calls:
        events = ",".join(f"syscalls:sys_enter_{call}" for call in COUNTED)
        prefix = ["perf", "stat", "-x", ",", "-e", events, "-o", str(trace), "--"]
    else:
        prefix = []
    settings = {"ListenBacklog": args.backlog} if args.backlog else {}
    for setting in args.setting:
        value_name, _, value = setting.partition("=")
        settings[value_name] = int(value) if value.isdigit() else value
    gateway = ProfiledGateway(work, name, prefix, settings, program)
    try:
        gateway.start()
        pid = gateway.gateway_pid()
        before = cpu_seconds(pid)
        finished, acked, seconds, wall, complaint = run_all.smtp_source(
            gateway.port, args.sessions, args.mails, args.size, args.timeout, gateway.dir, name)
        run_all.wait_count(lambda: len(gateway.ready()), acked, args.timeout,
                           run_all.OUT_POLL_SECONDS)
        done = len(gateway.ready())
        last = gateway.last_ready_time()
        after = cpu_seconds(pid)
    finally:
        gateway.stop()
    user, system = after[0] - before[0], after[1] - before[1]
    result = {"done": done, "acked": acked, "user": user, "system": system,
              "rate": done / (last - wall) if last and done else 0.0, "complaint": complaint}
    if args.strace:
        result["calls"] = strace_counts(trace)
    elif args.calls:
        result["calls"] = perf_counts(trace)
    return result


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sessions", type=int, default=20)
    parser.add_argument("--mails", type=int, default=2000)
    parser.add_argument("--size", type=int, default=10240)
    parser.add_argument("--timeout", type=float, default=600)
    parser.add_argument("--work", type=Path, default=run_all.TOP / "bench" / "out" / "profile")
    parser.add_argument("--calls", action="store_true")
    parser.add_argument("--strace", action="store_true")
    parser.add_argument("--record", action="store_true",
                        help="perf record -g of the gateway into the work folder (use --keep)")
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--backlog", type=int, default=run_all.RECEIVE_BACKLOG,
                        help="ListenBacklog of the gateway (0: absent)")
    parser.add_argument("--program", type=Path, default=run_all.GATEWAY,
                        help="the faxmailgw binary (the release build's)")
    parser.add_argument("--against", type=Path,
                        help="another faxmailgw binary, run after the first in every round, so "
                        "that the two are measured alternately on the same machine state")
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("--setting", action="append", default=[], metavar="NAME=VALUE",
                        help="a value of the gateway's key (digits only: a DWORD), repeatable")
    args = parser.parse_args(argv)
    if str(args.work.resolve()).startswith("/tmp"):
        parser.error("the work folder must not be under /tmp")
    args.work.mkdir(parents=True, exist_ok=True)
    work = Path(run_all.tempfile.mkdtemp(prefix="recv.", dir=args.work))
    print(f"load average {os.getloadavg()[0]:.2f}; work {work}")
    try:
        programs = [(args.program, "")]
        if args.against:
            programs.append((args.against, " (against)"))
        for index in range(args.runs):
            for program, tag in programs:
                r = one_run(args, work, index, program, "-against" if tag else "")
                per_k = 1000.0 / r["done"] if r["done"] else 0.0
                line = (f"run {index}{tag}: {r['done']}/{r['acked']} ready, "
                        f"CPU {(r['user'] + r['system']) * per_k:.2f} s/1000 mails "
                        f"(user {r['user'] * per_k:.2f}, system {r['system'] * per_k:.2f}), "
                        f"{r['rate']:.0f} mails/s wall")
                if r["complaint"]:
                    line += f" [{r['complaint']}]"
                print(line)
                if "calls" in r and r["done"]:
                    print("  per mail: " + ", ".join(
                        f"{call} {r['calls'].get(call, 0) / r['done']:.2f}" for call in COUNTED))
    finally:
        run_all.end_all()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    print(f"load average {os.getloadavg()[0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
