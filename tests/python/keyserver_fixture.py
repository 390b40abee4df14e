"""The test key server (keyserver.py) as pytest fixtures.

The server runs in a process of its own, started with the interpreter that
VELNA_HOST_PYTHON names (the host's, when the tests themselves run under
emulation) or else this one. One server serves the whole session; the
``keyserver`` fixture resets it before each test. Tests steer it through
``KeyServer``, over plain urllib, never through the code under test.
"""
import base64
import contextlib
import json
import os
import socket
import subprocess
import sys
import urllib.request

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))


class KeyServer:
    def __init__(self, tls=False):
        python = os.environ.get("VELNA_HOST_PYTHON", sys.executable)
        self.process = subprocess.Popen(
            [python, os.path.join(HERE, "keyserver.py")] + (["--tls"] if tls else []),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.port = int(self.process.stdout.readline())
        self.url = "%s://127.0.0.1:%d/" % ("https" if tls else "http", self.port)
        self.api_key = "test-api-key"

    def stop(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)

    def control(self, what, **args):
        request = urllib.request.Request(self.url + "_test/" + what, data=json.dumps(args).encode(),
                                         method="POST")
        with urllib.request.urlopen(request, timeout=30) as answer:
            return json.loads(answer.read() or b"{}")

    def reset(self):
        self.control("reset")

    def config(self, **settings):
        """api_key, shift (seconds ahead of the real clock), token_lifetime,
        tolerance (seconds)."""
        self.control("config", **settings)
        self.api_key = settings.get("api_key", self.api_key)

    def add_key(self, user_id, index, public_pem, rejected=False):
        if isinstance(public_pem, bytes):
            public_pem = public_pem.decode()
        self.control("key", user_id=str(user_id), index=index, pem=public_pem, rejected=rejected)

    def script(self, route, *answers):
        """Answers the next requests of |route| (its path below v1.0/) in
        turn: each answer is a status, or a dict with "status" and "json",
        "bytes" or "delay" (seconds)."""
        out = []
        for a in answers:
            a = {"status": a} if isinstance(a, int) else dict(a)
            if isinstance(a.get("bytes"), bytes):
                a["bytes"] = base64.b64encode(a["bytes"]).decode()
            out.append(a)
        self.control("script", route=route, answers=out)

    def expire_tokens(self):
        self.control("expire")

    def requests(self, route=None):
        """Every request received since the reset, oldest first."""
        seen = self.control("requests")["requests"]
        return [r for r in seen if route is None or r["route"] == route]

    def now(self):
        import datetime
        return datetime.datetime.fromisoformat(self.control("now")["now"])


@pytest.fixture(scope="session")
def keyserver_process():
    server = KeyServer()
    yield server
    server.stop()


@pytest.fixture
def keyserver(keyserver_process):
    keyserver_process.reset()
    keyserver_process.api_key = "test-api-key"
    return keyserver_process


@contextlib.contextmanager
def unanswered():
    """A port of 127.0.0.1 whose backlog is full, so that connecting to it
    waits until the client gives up."""
    import select

    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    port = listener.getsockname()[1]
    waiting = []
    for _ in range(3):
        c = socket.socket()
        c.setblocking(False)
        try:
            c.connect(("127.0.0.1", port))
        except BlockingIOError:
            pass
        waiting.append(c)
    select.select([], [], [], 0.05)  # lets the handshakes fill the backlog
    try:
        yield port
    finally:
        for c in waiting + [listener]:
            c.close()


@pytest.fixture
def unanswered_port():
    with unanswered() as port:
        yield port


def closed_port():
    """A port of 127.0.0.1 on which nothing listens."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
