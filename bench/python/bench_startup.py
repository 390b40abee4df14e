"""Start-up cost of the package, and the cost of a password login.

Run with the build tree on the path:

    PYTHONPATH=<build>/python /usr/bin/python3 bench/python/bench_startup.py

Start-up: a fresh interpreter that imports every module of the package,
against a fresh interpreter that imports nothing, in turns; the figure is the
difference of the best wall times, and the peak resident memory of each
(targets: at most 50 ms and 25 MB over the bare interpreter).

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


def bench_startup(rounds=15):
    # The package's plain Python files are compiled once, as an installed
    # package's are, so that no run pays for compiling them.
    compileall.compile_dir(os.path.join(ROOT, "velna"), quiet=1)
    modules = every_module()
    imports = "import " + ", ".join(modules)
    run(imports)  # warm the file cache
    bare, full = [], []
    for _ in range(rounds):
        bare.append(run("pass"))
        full.append(run(imports))
    t_bare, t_full = min(t for t, _ in bare), min(t for t, _ in full)
    m_bare, m_full = max(m for _, m in bare), max(m for _, m in full)
    print("modules imported           %10d" % len(modules))
    print("bare interpreter           %10.1f ms, peak %6.1f MB" % (t_bare * 1e3, m_bare / 1024))
    print("importing every module     %10.1f ms, peak %6.1f MB" % (t_full * 1e3, m_full / 1024))
    print("  over the bare one        %10.1f ms (target <= 50), %6.1f MB (target <= 25)"
          % ((t_full - t_bare) * 1e3, (m_full - m_bare) / 1024))


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
