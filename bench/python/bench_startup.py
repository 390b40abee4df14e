"""Start-up cost of the package, and the cost of a password login.

Run with the build tree on the path:

    PYTHONPATH=<build>/python /usr/bin/python3 bench/python/bench_startup.py

Start-up: fresh interpreters that import every module of the package, only
velna.crypto.container (an application that only encrypts), the Python
libraries velna reproduces (python3-cryptography, simplejson, arrow, attr,
requests, SQLAlchemy and SQLAlchemy-Utils), and nothing, in turns; each
figure is the difference of the best wall times to the bare interpreter's,
with the peak resident memory over the bare one; beside them the standard
library modules that the package's modules bind at load (targets: every
module at most 40 ms and 15 MB, and at least 12 times faster than the
stack; velna.crypto.container alone at most 15 ms).

Login: portal.login with a password on the local provider, followed by
logout, against the PBKDF2 derivation that opening the key file needs
(target: at most 1.05 times).
"""
import compileall
import os
import subprocess
import sys
import tempfile
import time

import velna

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(velna.__file__)))


def every_module():
    """Dotted names of every module of the package in the build tree."""
    names = []
    base = os.path.join(ROOT, "velna")
    for folder, dirs, files in os.walk(base):
        dirs[:] = sorted(d for d in dirs if not d.startswith("__") and not d.startswith("."))
        rel = os.path.relpath(folder, ROOT).replace(os.sep, ".")
        for f in sorted(files):
            stem = f.split(".")[0]
            if not (f.endswith(".so") or f.endswith(".py")) or stem.startswith("_") and stem != "__init__":
                continue
            if folder != base and not os.path.exists(os.path.join(folder, "__init__.py")) and not any(
                    g.startswith("__init__.") for g in os.listdir(folder)):
                break  # not a package (migration scripts and the like)
            names.append(rel if stem == "__init__" else rel + "." + stem)
    return sorted(set(names))


def run(code):
    """Wall seconds and peak resident kilobytes of a fresh interpreter."""
    env = dict(os.environ, PYTHONPATH=ROOT)
    start = time.perf_counter()
    proc = subprocess.Popen([sys.executable, "-c", code], env=env)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    if status != 0:
        raise SystemExit("child failed: %r" % code)
    return elapsed, usage.ru_maxrss


# What an application imports to do the same work with the Python libraries
# velna reproduces (test-only packages of Debian, as in the other benchmarks).
STACK = ("import logging, uuid, datetime, json, base64, functools, re, pathlib; "
         "import cryptography.hazmat.primitives.ciphers, cryptography.hazmat.primitives.hmac, "
         "cryptography.hazmat.primitives.asymmetric.ec, cryptography.hazmat.primitives.kdf.pbkdf2, "
         "cryptography.hazmat.primitives.kdf.x963kdf, cryptography.hazmat.primitives.serialization; "
         "import simplejson, arrow, attr, requests, sqlalchemy, sqlalchemy.orm, sqlalchemy_utils")


def bench_startup(rounds=15):
    # The package's plain Python files are compiled once, as an installed
    # package's are, so that no run pays for compiling them.
    compileall.compile_dir(os.path.join(ROOT, "velna"), quiet=1)
    modules = every_module()
    cases = [("bare interpreter", "pass"),
             ("importing every module", "import " + ", ".join(modules)),
             ("velna.crypto.container alone", "import velna.crypto.container"),
             ("logging, uuid, datetime", "import logging, uuid, datetime"),
             ("the Python stack", STACK)]
    for _, code in cases:
        run(code)  # warm the file cache
    times = {name: [] for name, _ in cases}
    peaks = {name: [] for name, _ in cases}
    for _ in range(rounds):  # in turns, so that a busy moment hits every case
        for name, code in cases:
            t, m = run(code)
            times[name].append(t)
            peaks[name].append(m)
    bare_t, bare_m = min(times["bare interpreter"]), max(peaks["bare interpreter"])
    over = {name: (min(times[name]) - bare_t, (max(peaks[name]) - bare_m) / 1024) for name, _ in cases}
    print("modules imported             %10d   (best of %d rounds, in turns)" % (len(modules), rounds))
    print("bare interpreter             %10.1f ms, peak %6.1f MB" % (bare_t * 1e3, bare_m / 1024))
    for name, target_ms, target_mb in (("importing every module", 40, 15),
                                       ("velna.crypto.container alone", 15, None),
                                       ("logging, uuid, datetime", None, None),
                                       ("the Python stack", None, None)):
        ms, mb = over[name]
        print("%-28s %10.1f ms over bare%s, %6.1f MB%s"
              % (name, ms * 1e3, " (target <= %d)" % target_ms if target_ms else "",
                 mb, " (target <= %d)" % target_mb if target_mb else ""))
    ratio = over["the Python stack"][0] / over["importing every module"][0]
    print("  stack / every module       %10.1f x (target >= 12)" % ratio)


def bench_login(rounds=25):
    import velna.crypto.pbkdf2 as pbkdf2
    import velna.portal as portal
    import velna.user as user

    password, passphrase = "Bench-Passw0rd", "Bench passphrase 1"
    with tempfile.TemporaryDirectory() as root:
        portal.initialize("bench", fips=False, root_dir=root)
        uid = user.create(password, "hint", passphrase).id
        portal.logout()

        def login():
            portal.login(uid, password=password)
            portal.logout()

        def derivation():
            pbkdf2.create_key(b"x" * 96, b"\x01" * 8)

        login()
        t_login, t_kdf = [], []
        for _ in range(rounds):
            start = time.perf_counter()
            login()
            t_login.append(time.perf_counter() - start)
            start = time.perf_counter()
            derivation()
            t_kdf.append(time.perf_counter() - start)
    best_login, best_kdf = min(t_login), min(t_kdf)
    print("password login + logout    %10.3f ms" % (best_login * 1e3))
    print("one PBKDF2 derivation      %10.3f ms" % (best_kdf * 1e3))
    print("  ratio login / derivation %10.3f  (target <= 1.05)" % (best_login / best_kdf))


if __name__ == "__main__":
    bench_startup()
    if "--startup-only" not in sys.argv:
        bench_login()
