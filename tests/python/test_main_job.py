"""The example application end to end: two users share an encrypted file.

On the local provider the sharing and the opening run in two processes, so
nothing survives in memory between them; on the server provider the
accounts live on the test key server.
"""
import hashlib
import os
import subprocess
import sys

import pytest

pytest.importorskip("velna.crypto.lockbox")
pytest.importorskip("velna.access")
pytest.importorskip("velna.providers.zov.models")

import velna  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
APP = os.path.join(REPO, "examples", "share_file.py")


def run_app(*args):
    root = os.path.dirname(os.path.dirname(os.path.abspath(velna.__file__)))
    env = dict(os.environ, PYTHONPATH=root)
    proc = subprocess.run([sys.executable, APP, *args], capture_output=True, text=True, timeout=300, env=env)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout.splitlines()


def check_opened(lines):
    assert any(line.startswith("found bob's access row for container") for line in lines)
    assert lines[-2] == "checksum matches the original"


def test_local_provider_in_two_processes(tmp_path):
    root = str(tmp_path / "store")
    shared = run_app("--root", root, "grant")
    assert shared[0].startswith("initialized: accounts on the local store")
    assert any(line.startswith("granted bob read access with a recipient key blob") for line in shared)
    opened = run_app("--root", root, "open")
    assert "bob's reminder: the bikes" in opened
    check_opened(opened)


def test_sharing_a_file_of_ones_own(tmp_path):
    data = tmp_path / "data.bin"
    data.write_bytes(os.urandom(200000))
    root = str(tmp_path / "store")
    run_app("--root", root, "--file", str(data), "grant")
    opened = run_app("--root", root, "open")
    # The whole SHA-384, as sha384sum prints it for the file that was shared.
    assert "opened data.bin: 200000 bytes, SHA-384 %s" % hashlib.sha384(data.read_bytes()).hexdigest() in opened
    check_opened(opened)


def test_server_provider_against_the_test_key_server(tmp_path, keyserver):
    root = str(tmp_path / "store")
    options = ["--root", root, "--server", keyserver.url, "--api-key", keyserver.api_key]
    shared = run_app(*options, "grant")
    assert shared[0].startswith("initialized: accounts on the key server http://127.0.0.1:")
    # Alice logs in with her password alone: the server hands out her key file for it.
    assert "logged in as alice with her password" in shared
    opened = run_app(*options, "open")
    check_opened(opened)
    assert [r for r in keyserver.requests("lockbox/fetch")], "bob's key file came from the server"
