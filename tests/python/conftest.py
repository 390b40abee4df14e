"""Fixtures shared by the Python tests.

python3-cryptography serves as an independent oracle in tests only; the
package itself never imports it.
"""
import json
import logging
import os
import subprocess
import sys
import time
import urllib.request

import pytest

VECTORS_DIR = "/usr/lib/python3/dist-packages/cryptography_vectors"


# Markers of tests that cannot run everywhere; each is skipped only where it
# cannot run, and says why.
MARKERS = {
    "no_emulation": "cannot run under qemu-user emulation (VELNA_EMULATED is set by "
                    "tools/armhf-test.sh)",
    "oracle_64bit_time": "its oracle is right only over an interpreter with a 64-bit time_t "
                         "(Debian's armhf interpreter has a 32-bit one)",
}


def interpreter_time_t_is_32bit():
    try:
        time.gmtime(2**31)
    except (OverflowError, OSError):
        return True
    return False


def pytest_configure(config):
    for name, why in MARKERS.items():
        config.addinivalue_line("markers", f"{name}: {why}")


def pytest_collection_modifyitems(config, items):
    skipped = set()
    if os.environ.get("VELNA_EMULATED"):
        skipped.add("no_emulation")
    if interpreter_time_t_is_32bit():
        skipped.add("oracle_64bit_time")
    for item in items:
        for name in skipped.intersection(m.name for m in item.iter_markers()):
            item.add_marker(pytest.mark.skip(reason=f"{name}: test {MARKERS[name]}"))


@pytest.fixture
def log_lines(caplog):
    """log_lines(name) -> [(level, message)] written on the logger |name|."""
    caplog.set_level(logging.DEBUG)

    def lines(name):
        return [(r.levelno, r.getMessage()) for r in caplog.records if r.name == name]

    return lines


@pytest.fixture(scope="session")
def oracle():
    """The modules of python3-cryptography that the cross-checks use."""
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec

    class Oracle:
        pass

    o = Oracle()
    o.ec, o.hashes, o.serialization = ec, hashes, serialization
    return o


@pytest.fixture
def fake_random(monkeypatch):
    """Replaces velna.crypto.random; returns the list of counts asked for."""
    import velna.crypto as crypto

    calls = []

    def fake(num):
        calls.append(num)
        return bytes(range(1, num + 1))

    monkeypatch.setattr(crypto, "random", fake)
    return calls


def child_env():
    """The environment of a fresh interpreter that imports this test's velna."""
    import velna

    root = os.path.dirname(os.path.dirname(os.path.abspath(velna.__file__)))
    return dict(os.environ, PYTHONPATH=os.pathsep.join([root, os.environ.get("PYTHONPATH", "")]))


def run_python(code, *flags):
    """Runs |code| in a fresh interpreter with this test's import path."""
    return subprocess.run([sys.executable, *flags, "-c", code], capture_output=True, text=True,
                          timeout=60, env=child_env())


def read_vectors(relative):
    """Blocks of 'Name = value' lines of a vector file, as dicts."""
    records, current = [], {}
    with open(os.path.join(VECTORS_DIR, relative)) as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("["):
                if current:
                    records.append(current)
                current = {}
            elif not line.startswith("#") and "=" in line:
                name, _, value = line.partition("=")
                current[name.strip()] = value.strip()
    if current:
        records.append(current)
    return records


@pytest.fixture(scope="session")
def scripted_server():
    """The base address of scripted_server.py, run for the whole session."""
    python = os.environ.get("VELNA_HOST_PYTHON", sys.executable)
    here = os.path.dirname(os.path.abspath(__file__))
    process = subprocess.Popen([python, os.path.join(here, "scripted_server.py")], stdout=subprocess.PIPE)
    port = int(process.stdout.readline())
    yield "http://127.0.0.1:%d" % port
    process.terminate()
    process.wait(10)
    process.stdout.close()


@pytest.fixture
def scripted(scripted_server):
    """(base address, seen()) with the scripted server's record cleared."""
    urllib.request.urlopen(urllib.request.Request(scripted_server + "/__reset", data=b"")).read()

    def seen():
        return json.loads(urllib.request.urlopen(scripted_server + "/__log").read())

    return scripted_server, seen


# Run first in a child of grown_memory: reads the child's own resident set.
MEMORY_PRELUDE = """\
import json as _json


def _status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1]) * 1024


"""


def grown_memory(setup, code):
    """Runs |setup| and then |code| in a fresh interpreter; |code| leaves what
    it found in the name ``result``. Returns (result, the bytes by which the
    child's peak resident set grew above what it held before |code|)."""
    script = (MEMORY_PRELUDE + setup + "\n_before = _status('VmRSS:')\n" + code +
              "\nprint(_json.dumps([result, _status('VmHWM:') - _before]))\n")
    done = run_python(script)
    assert done.returncode == 0, done.stderr
    result, grown = json.loads(done.stdout.splitlines()[-1])
    return result, grown


from keyserver_fixture import keyserver, keyserver_process  # noqa: E402,F401  (fixtures)
