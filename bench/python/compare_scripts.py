"""Benchmark scripts run on two build trees in one run, for a change that
must not cost speed.

Usage: /usr/bin/python3 bench/python/compare_scripts.py BEFORE_BUILD AFTER_BUILD ROUNDS SCRIPT [SCRIPT ...]

Each round runs every script once per tree, in turns (before, after, before,
...), so that a change in the machine's load hits both alike. A script is a
file name under bench/python with its arguments, e.g. "bench_keys.py --quick".
Every figure a script prints with a time or rate unit (ms, us, rows/s, MB/s,
MiB/s) is kept by its line and its place in the line; the median of each over
the rounds is printed for both trees with after/before.
"""

import os
import re
import shlex
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
FIGURE = re.compile(r"(\d+(?:\.\d+)?)\s*(ms|us|rows/s|MB/s|MiB/s)\b")


def figures(build, script):
    env = dict(os.environ, PYTHONPATH=os.path.join(build, "python"))
    argv = shlex.split(script)
    done = subprocess.run([sys.executable, os.path.join(HERE, argv[0])] + argv[1:], env=env,
                          cwd=HERE, capture_output=True, text=True)
    found = {}
    for number, line in enumerate(done.stdout.splitlines()):
        label = re.sub(r"\d+(?:\.\d+)?", "#", line.strip())[:60]
        for place, match in enumerate(FIGURE.finditer(line)):
            found[number, place] = (label, match.group(2), float(match.group(1)))
    return found


def main():
    before, after, rounds, scripts = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4:]
    samples = {}
    for _ in range(rounds):
        for script in scripts:
            for tree, build in (("before", before), ("after", after)):
                for key, (label, unit, value) in figures(build, script).items():
                    entry = samples.setdefault((script,) + key, {"label": label, "unit": unit})
                    entry.setdefault(tree, []).append(value)
    print("medians of %d rounds, before and after in turns" % rounds)
    for (script, _, place), entry in sorted(samples.items()):
        if "before" not in entry or "after" not in entry:
            continue
        b, a = statistics.median(entry["before"]), statistics.median(entry["after"])
        print("%-22s %-60s #%d %10.2f %-6s %10.2f %-6s after/before %.3f"
              % (script.split()[0], entry["label"], place, b, entry["unit"], a, entry["unit"], a / b if b else 0))


if __name__ == "__main__":
    main()
