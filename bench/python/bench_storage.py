"""Object storage transfer through velna.providers.server.aws beside the curl
command-line tool, both against one nginx on 127.0.0.1 serving a temporary
folder, and the memory a large GET takes.

  (a) GET of a 256 MiB object: ours into a bytes object in this process,
      curl into /dev/null (the target's measure), and, as a like-for-like
      figure beside it, curl into a file on /dev/shm, which keeps the body
      in memory as ours does.
  (b) PUT of a 256 MiB object: ours from a bytes object, curl from a file
      (in the page cache) with -T.
  (c) Peak resident set of a child process that GETs a 512 MiB object, over
      the body's size: from nginx (the answer announces its length) and from
      tests/python/scripted_server.py (chunked, no length announced).

Usage: PYTHONPATH=<build>/python /usr/bin/python3 bench/python/bench_storage.py [--quick]

The curl figure is the transfer time curl reports itself (%{time_total}), so
starting the process is not counted against it. Each figure is the median
of several rounds, the two sides of a ratio timed in turns within one run.
Beside the throughput, the CPU seconds (user and system) each side spent on
one transfer: on a busy machine they vary less than the time.
The peak is the child's VmHWM (its whole process, interpreter included),
read by the child itself once the body is in memory; beside it, the growth
above what the child held before the GET.
"""

import os
import resource
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(HERE, "..", "..", "tests", "python")
sys.path.insert(0, TESTS)

from nginx_store import NginxStore  # noqa: E402

import velna.providers.server.aws as aws  # noqa: E402

QUICK = "--quick" in sys.argv
ROUNDS = 3 if QUICK else 7
SIZE = 256 << 20
LARGE = 512 << 20
TARGET = 0.9
PEAK_TARGET = 1.1

CHILD = r"""
import sys
import velna.providers.server.aws as aws


def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1]) * 1024


before = status("VmRSS:")
body = aws.get(sys.argv[1]).content
print(len(body), before, status("VmHWM:"))
"""


def cpu(who):
    r = resource.getrusage(who)
    return r.ru_utime + r.ru_stime


def curl_seconds(*args, output="/dev/null"):
    """(seconds, CPU seconds) of one transfer by the curl tool."""
    before = cpu(resource.RUSAGE_CHILDREN)
    out = subprocess.run(["curl", "-s", "-f", "-o", output, "-w", "%{time_total}", *args],
                         check=True, capture_output=True, text=True).stdout
    return float(out), cpu(resource.RUSAGE_CHILDREN) - before


def ours_seconds(fn):
    """(seconds, CPU seconds) of one call of |fn| in this process."""
    before = cpu(resource.RUSAGE_SELF)
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start, cpu(resource.RUSAGE_SELF) - before


def peak_of_get(url):
    """(body length, resident set before the GET, peak resident set) of a
    child that GETs |url|."""
    out = subprocess.run([sys.executable, "-c", CHILD, url], check=True, capture_output=True,
                         text=True, env=dict(os.environ)).stdout
    return tuple(int(v) for v in out.split())


def throughput(store):
    body = os.urandom(1 << 20) * (SIZE >> 20)
    store.write("object", body)
    upload = os.path.join(store.root, "upload")
    with open(upload, "wb") as f:
        f.write(body)
    url = store.url + "/object"

    def get():
        response = aws.get(url)
        assert len(response.content) == SIZE

    def curl_into_memory():
        kept = "/dev/shm/velna-bench-%d" % os.getpid()
        try:
            return curl_seconds(url, output=kept)
        finally:
            os.unlink(kept)

    # name: (ours, curl, whether the ratio has a target)
    cases = {
        "GET": (get, lambda: curl_seconds(url), True),
        "GET, curl to /dev/shm": (get, curl_into_memory, False),
        "PUT": (lambda: aws.put(store.url + "/put-ours", body),
                lambda: curl_seconds("-T", upload, store.url + "/put-curl"), True),
    }
    print("object storage, %d MiB on loopback, median of %d rounds (MiB/s; CPU ms per transfer)"
          % (SIZE >> 20, ROUNDS))
    ok = True
    for name, (ours, curl, targeted) in cases.items():
        ours()
        curl()
        ours_runs, curl_runs = [], []
        for _ in range(ROUNDS):
            ours_runs.append(ours_seconds(ours))
            curl_runs.append(curl())
        ours_time, ours_cpu = (statistics.median(r[i] for r in ours_runs) for i in (0, 1))
        curl_time, curl_cpu = (statistics.median(r[i] for r in curl_runs) for i in (0, 1))
        ratio = curl_time / ours_time
        ok = ok and (ratio >= TARGET or not targeted)
        print("  %-21s velna %5.0f   curl %5.0f   ratio %.2f %-15s CPU velna %4.0f  curl %4.0f"
              % (name, SIZE / 2**20 / ours_time, SIZE / 2**20 / curl_time, ratio,
                 "(target >= %.1f)" % TARGET if targeted else "", ours_cpu * 1000, curl_cpu * 1000))
    os.unlink(store.path("object"))
    os.unlink(upload)
    for name in ("put-ours", "put-curl"):
        os.unlink(store.path(name))
    return ok


def peaks(store):
    with open(store.path("large"), "wb") as f:
        f.truncate(LARGE)
    python = os.environ.get("VELNA_HOST_PYTHON", sys.executable)
    scripted = subprocess.Popen([python, os.path.join(TESTS, "scripted_server.py")], stdout=subprocess.PIPE)
    try:
        base = "http://127.0.0.1:%d" % int(scripted.stdout.readline())
        sources = [("nginx, Content-Length", store.url + "/large"),
                   ("chunked, no length", base + "/s/large/chunked:-:%d" % LARGE)]
        print("peak resident set of a child's %d MiB GET, over the body" % (LARGE >> 20))
        ok = True
        for name, url in sources:
            length, before, peak = peak_of_get(url)
            assert length == LARGE
            ok = ok and peak / LARGE <= PEAK_TARGET
            print("  %-22s peak %4.0f MiB = %.3f x body (target <= %.1f); above the %2.0f MiB before: %.3f x"
                  % (name, peak / 2**20, peak / LARGE, PEAK_TARGET, before / 2**20, (peak - before) / LARGE))
        return ok
    finally:
        scripted.terminate()
        scripted.wait(10)
        scripted.stdout.close()
        os.unlink(store.path("large"))


def main():
    store = NginxStore()
    try:
        ok = throughput(store)
        ok = peaks(store) and ok
        return 0 if ok else 1
    finally:
        store.stop()


if __name__ == "__main__":
    sys.exit(main())
