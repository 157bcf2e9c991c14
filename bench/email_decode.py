#!/usr/bin/python3
"""The peer of decode_bench's corpus mode: Python's email package decoding the same files.

    email_decode.py corpus RUNS FILE...   (RUNS 1-1000) prints "corpus files=N bytes=B seconds=S"
    email_decode.py memory FILE           prints "memory bytes=B seconds=S grew_kb=K"

corpus: each file is read whole and parsed with the default policy; every leaf part (enclosed
messages are walked into) is decoded with get_payload(decode=True) and the bytes dropped. S is
the best of RUNS passes over all the files, as decode_bench reports it.

memory: one pass over FILE; K is the growth of the process's peak resident memory (ru_maxrss)
from just before the file is read to after every part is decoded.
Run with Debian's /usr/bin/python3.
"""

import email.parser
import email.policy
import os
import resource
import sys
import time

# The same bound as decode_bench's: passes over a corpus, the best is taken.
MAX_RUNS = 1000


def decode(data):
    message = email.parser.BytesParser(policy=email.policy.default).parsebytes(data)
    for part in message.walk():
        if not part.is_multipart():
            part.get_payload(decode=True)


def corpus(runs, files):
    size = sum(os.path.getsize(f) for f in files)
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        for name in files:
            with open(name, "rb") as f:
                decode(f.read())
        best = min(best, time.perf_counter() - start)
    print(f"corpus files={len(files)} bytes={size} seconds={best:.6f}")


def memory(name):
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    with open(name, "rb") as f:
        decode(f.read())
    seconds = time.perf_counter() - start
    grew = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    print(f"memory bytes={os.path.getsize(name)} seconds={seconds:.6f} grew_kb={grew}")


def main(argv):
    if len(argv) >= 4 and argv[1] == "corpus" and argv[2].isdigit() and \
            1 <= int(argv[2]) <= MAX_RUNS:
        corpus(int(argv[2]), argv[3:])
    elif len(argv) == 3 and argv[1] == "memory":
        memory(argv[2])
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
