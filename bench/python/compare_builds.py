"""The same measurements on two build trees in one run, for a change that
must not cost speed: container encryption and decryption of 64 MiB and of
1 KiB, crypto.SHA384 of 64 bytes, and the overhead of a logged call with
tracing off.

Usage: /usr/bin/python3 bench/python/compare_builds.py BEFORE_BUILD AFTER_BUILD [ROUNDS]

Each round runs one child process per tree, in turns (before, after, before,
...), so that a change in the machine's load hits both alike; each child
reports the best of several repeats per case, and the figure of a tree is
its best over the rounds.
"""

import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

CHILD = r"""
import json, logging, sys
sys.path.insert(0, %(here)r)
import timing
import velna.crypto as crypto
import velna.decorators as decorators
from bench_container import SMALL_HEADER, velna_decrypt as decrypt, velna_encrypt


def encrypt(content):
    return velna_encrypt(SMALL_HEADER, content)


big, small = bytes(64 << 20), bytes(range(256)) * 4
big_blob, small_blob = encrypt(big), encrypt(small)
message = bytes(range(64))

logging.getLogger("velna").setLevel(logging.INFO)  # tracing off


def add(a, b):
    return a + b


traced = decorators.logged(logging.getLogger("velna.bench"))(add)

best = timing.best_seconds(
    [
        ("container 64 MiB encrypt", lambda: encrypt(big)),
        ("container 64 MiB decrypt", lambda: decrypt(big_blob)),
        ("container 1 KiB encrypt", lambda: encrypt(small)),
        ("container 1 KiB decrypt", lambda: decrypt(small_blob)),
        ("crypto.SHA384 64 bytes", lambda: crypto.SHA384(message)),
        ("bare call", lambda: add(1, 2)),
        ("logged call, tracing off", lambda: traced(1, 2)),
    ],
    repeats=5,
    seconds_per_repeat=0.15,
)
print(json.dumps(best))
"""


def run(build):
    env = dict(os.environ, PYTHONPATH=os.path.join(build, "python"))
    out = subprocess.run(
        [sys.executable, "-c", CHILD % {"here": HERE}],
        env=env, check=True, capture_output=True, text=True,
    ).stdout
    return json.loads(out.strip().splitlines()[-1])


def main():
    before_build, after_build = sys.argv[1], sys.argv[2]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    best = {"before": {}, "after": {}}
    for _ in range(rounds):
        for label, build in (("before", before_build), ("after", after_build)):
            for case, seconds in run(build).items():
                best[label][case] = min(best[label].get(case, float("inf")), seconds)
    for label in best:
        b = best[label]
        b["logged overhead"] = b["logged call, tracing off"] - b["bare call"]

    print("%-28s %14s %14s %9s" % ("case", "before", "after", "after/before"))
    for case in best["before"]:
        b, a = best["before"][case], best["after"][case]
        if case.startswith("container 64 MiB"):
            fb, fa, unit = (64 << 20) / b / 1e6, (64 << 20) / a / 1e6, "MB/s"
            ratio = a / b
        else:
            fb, fa, unit = b * 1e6, a * 1e6, "us"
            ratio = a / b
        print("%-28s %9.2f %-4s %9.2f %-4s %9.3f" % (case, fb, unit, fa, unit, ratio))
    print("(time ratios: below 1.000 is faster after the change)")


if __name__ == "__main__":
    main()
