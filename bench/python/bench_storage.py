"""Object storage transfer through velna.providers.server.aws beside the curl
command-line tool, both against one nginx on 127.0.0.1 serving a temporary
folder.

  (a) GET of a 256 MiB object: ours into a bytes object in this process,
      curl into /dev/null.
  (b) PUT of a 256 MiB object: ours from a bytes object, curl from a file
      (in the page cache) with -T.

Usage: PYTHONPATH=<build>/python /usr/bin/python3 bench/python/bench_storage.py [--quick]

The curl figure is the transfer time curl reports itself (%{time_total}), so
starting the process is not counted against it. Every figure is the best of
several repeats, the two variants of a case timed in turns.
"""

import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "python"))

from nginx_store import NginxStore  # noqa: E402

import velna.providers.server.aws as aws  # noqa: E402

QUICK = "--quick" in sys.argv
REPEATS = 3 if QUICK else 7
SIZE = 256 << 20
TARGET = 0.9


def curl_seconds(*args):
    out = subprocess.run(["curl", "-s", "-f", "-o", "/dev/null", "-w", "%{time_total}", *args],
                         check=True, capture_output=True, text=True).stdout
    return float(out)


def ours_seconds(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def main():
    store = NginxStore()
    try:
        body = os.urandom(1 << 20) * (SIZE >> 20)
        store.write("object", body)
        upload = os.path.join(store.root, "upload")
        with open(upload, "wb") as f:
            f.write(body)
        url = store.url + "/object"

        def get():
            response = aws.get(url)
            assert len(response.content) == SIZE

        cases = {
            "GET": (get, lambda: curl_seconds(url)),
            "PUT": (lambda: aws.put(store.url + "/put-ours", body),
                    lambda: curl_seconds("-T", upload, store.url + "/put-curl")),
        }
        print("object storage, %d MiB on loopback, best of %d (MiB/s)" % (SIZE >> 20, REPEATS))
        ok = True
        for name, (ours, curl) in cases.items():
            best_ours = best_curl = float("inf")
            ours()
            curl()
            for _ in range(REPEATS):
                best_ours = min(best_ours, ours_seconds(ours))
                best_curl = min(best_curl, curl())
            ratio = best_curl / best_ours
            ok = ok and ratio >= TARGET
            print("  %s  velna %7.0f   curl %7.0f   ratio %.2f (target >= %.1f)"
                  % (name, SIZE / 2**20 / best_ours, SIZE / 2**20 / best_curl, ratio, TARGET))
        return 0 if ok else 1
    finally:
        store.stop()


if __name__ == "__main__":
    sys.exit(main())
