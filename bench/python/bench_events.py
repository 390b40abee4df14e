"""Event retrieval through velna.providers.server.events beside a plain-Python
client (requests, json and a dataclass), both paging through the same
10 000 events of one server on 127.0.0.1, on pages of two kinds: uniform
ones, every event of one shape, and pages of mixed shapes, whose events
carry null in optional fields, keys the schema does not know, time stamps
with offsets and fractions of any length, identifiers in upper case and
texts with escapes.

The server is nginx serving the event log's pages, rendered beforehand by
the test key server's event log (and its answers to "time" and "login"), so
that what is timed is the client: a Python server would spend most of the
time itself, alike for both.

Both do the same protocol work and end with the same records: each logs in
once (the server's time signed with an ECDSA P-384 key), asks for the same
pages with the same query, sends every request with the API key, a fresh
request id and Basic credentials signed for that one request, and builds one
record per event (identifiers as uuid.UUID, times as datetime). The plain
client signs with python3-cryptography. The server's page size is its own
choice; PAGE_SIZE is a realistic one.

What is compared is the client's CPU time (process time: the server's own
time is the same for both), per retrieval of the whole log, the median of
ROUNDS rounds in which the variants run in turns; the share of it that the
cyclic garbage collector takes is printed beside (gc.callbacks). Each
variant runs in a process of its own (all four started from here, each
logged in on its own), so that none meets the heap or the collector's
generations that another left. At its turn a variant retrieves twice: once
right after the other variants ran ("first": caches and the heap's top as
they left them, as a program that retrieves its events now and then meets
them) and once right after its own retrieval ("steady"). Only one process
runs at a time; the others wait for their turn.

Usage: PYTHONPATH=<build>/python /usr/bin/python3 bench/python/bench_events.py [--quick]
"""

import base64
import dataclasses
import datetime
import json
import os
import gc
import statistics
import subprocess
import sys
import time
import types
import uuid
from typing import Any, Optional

import requests
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "python"))

from keyserver_events import EventLog, make_events  # noqa: E402
from nginx_store import NginxStore  # noqa: E402

import velna.crypto.p384 as p384  # noqa: E402
import velna.providers.server as server  # noqa: E402
import velna.providers.server.events as events  # noqa: E402

QUICK = "--quick" in sys.argv
ROUNDS = 3 if QUICK else 9
COUNT = 10_000
PAGE_SIZE = 5000
TARGET = 5.0


@dataclasses.dataclass
class PlainEvent:
    action: str
    id: int
    changes: Optional[dict]
    client_app_name: Optional[str]
    container_expired_at: Optional[datetime.datetime]
    container_id: Optional[uuid.UUID]
    container_modified_at: Optional[datetime.datetime]
    container_type: Optional[str]
    date: datetime.datetime
    related_user_id: Optional[uuid.UUID]
    type: str


def when(text):
    if text is None:
        return None
    text = text.replace("Z", "+00:00")
    # fromisoformat of Python 3.11 takes fractions of 3 or 6 digits only
    head, dot, rest = text.partition(".")
    if dot:
        digits = len(rest) - len(rest.lstrip("0123456789"))
        text = head + "." + (rest[:digits] + "000000")[:6] + rest[digits:]
    return datetime.datetime.fromisoformat(text)


def ident(text):
    return None if text is None else uuid.UUID(text)


class PlainClient:
    """The session protocol with requests and python3-cryptography."""

    def __init__(self, base, api_key, user_id):
        self.base, self.api_key, self.user_id = base + "/v1.0/", api_key, user_id
        self.key = ec.generate_private_key(ec.SECP384R1())
        self.http = requests.Session()

    def _headers(self):
        return {"X-Velna-Api-Key": self.api_key, "X-Request-Id": str(uuid.uuid4())}

    def login(self):
        challenge = self.http.get(self.base + "time/", headers=self._headers()).json()["time"]
        now = datetime.datetime.now(datetime.timezone.utc)
        self.offset = now - datetime.datetime.fromisoformat(challenge)
        signature = self.key.sign(challenge.encode(), ec.ECDSA(hashes.SHA384()))
        params = {"userId": self.user_id, "authKeyIndex": "0", "challenge": challenge,
                  "verification": base64.b64encode(signature).decode()}
        answer = self.http.get(self.base + "login/", params=params, headers=self._headers()).json()
        self.token = answer["token"]

    def get(self, path, params):
        headers = self._headers()
        estimated = datetime.datetime.now(datetime.timezone.utc) - self.offset
        user = self.token.encode() + b"," + base64.b64encode(estimated.isoformat().encode())
        signature = self.key.sign(user + headers["X-Request-Id"].encode(), ec.ECDSA(hashes.SHA384()))
        response = self.http.get(self.base + path + "/", params=params, headers=headers,
                                 auth=(user, base64.b64encode(signature)))
        response.raise_for_status()
        return json.loads(response.content)


def plain_get(client, wire_type):
    params = {"type": wire_type, "start": 0}
    gathered: Any = []
    while True:
        page = client.get("events", params)
        gathered.extend(page["events"])
        if not page["hasMore"]:
            break
        params["start"] = page["events"][-1]["eventId"]
    return [PlainEvent(e["action"], e["eventId"], e["changes"], e["clientAppName"], when(e["containerExpiredAt"]),
                       ident(e["containerId"]), when(e["containerModifiedAt"]), e["containerType"], when(e["date"]),
                       ident(e["relatedUserId"]), e["type"]) for e in gathered]


def mixed_events(count):
    """|count| valid event objects of the type keysFile in varied shapes."""
    wire = make_events(count, type="keysFile")
    offsets = ["Z", "+00:00", "-00:00", "+05:30", "-0800", "+01", ".5Z", ".123+02:00", ".1234567Z"]
    for i, e in enumerate(wire):
        if i % 5 == 0:
            e.update(changes=None, clientAppName=None, containerId=None, containerType=None,
                     containerModifiedAt=None, relatedUserId=None)
        if i % 7 == 0:
            e["userId"] = str(uuid.UUID(int=i))
            e["details"] = {"ip": "10.0.0.%d" % (i % 250), "agent": "app/1.%d" % i}
        if i % 3 == 1:
            e["containerExpiredAt"] = "2027-03-%02dT00:00:00%s" % (1 + i % 28, offsets[i % len(offsets)])
        e["date"] = "2026-02-%02dT01:02:03%s" % (1 + i % 28, offsets[(i // 3) % len(offsets)])
        if i % 4 == 2 and e["relatedUserId"]:
            e["relatedUserId"] = e["relatedUserId"].upper()
        if i % 6 == 3:
            e["clientAppName"] = "caf\u00e9 \"%d\"" % i if i % 12 == 3 else "Zürich ✓"
    return wire


LOCATIONS = """
        location /v1.0/events/ {
            default_type application/json;
            try_files /events/$arg_type-$arg_start.json =404;
        }
        location = /v1.0/time/ { default_type application/json; try_files /time.json =404; }
        location = /v1.0/login/ { default_type application/json; try_files /login.json =404; }
"""


def render(store):
    """Writes the pages of the event log, and the answers to a login."""
    log = EventLog()
    log.load(make_events(COUNT) + mixed_events(COUNT), page_size=PAGE_SIZE)
    os.makedirs(store.path("events"))
    for wire_type in ("container", "keysFile"):
        start = 0
        while True:
            page = log.page({"type": [wire_type], "start": [str(start)]})
            store.write("events/%s-%d.json" % (wire_type, start),
                        json.dumps(page, ensure_ascii=wire_type == "container").encode())
            if not page["hasMore"]:
                break
            start = page["events"][-1]["eventId"]
    now = datetime.datetime.now(datetime.timezone.utc)
    store.write("time.json", json.dumps({"time": now.isoformat()}).encode())
    expiration = (now + datetime.timedelta(days=1)).isoformat()
    store.write("login.json", json.dumps({"token": "token-1", "expiration": expiration}).encode())


def login(base):
    """Logs velna's client in, and returns the plain client, logged in."""
    server.initialize("api-key", base)
    key = types.SimpleNamespace(active=True, index=0, private=p384.generate_private_key())
    server.session.authenticate(server.client, types.SimpleNamespace(id=uuid.uuid4(),
                                                                     keys={"signingKeys": {0: key}}))
    plain = PlainClient(base, "api-key", str(uuid.uuid4()))
    plain.login()
    return plain


WHEN = ("first", "steady")
CASES = [("uniform", "container", "container"), ("mixed", "lockbox", "keysFile")]


def retrieval(plain, shape, name):
    """The call that retrieves the whole log of |shape| through variant |name|."""
    ours_type, wire_type = {s: (o, w) for s, o, w in CASES}[shape]
    if name == "velna":
        return lambda: events.get(type=ours_type)
    return lambda: plain_get(plain, wire_type)


def main():
    store = NginxStore(LOCATIONS)
    base = store.url
    try:
        render(store)
        plain = login(base)
        for shape, ours_type, wire_type in CASES:
            ours = events.get(type=ours_type)
            theirs = plain_get(plain, wire_type)
            assert len(ours) == len(theirs) > COUNT
            assert [dataclasses.astuple(t) for t in theirs] == [tuple(vars(o).values()) for o in ours]

        variants = [(shape, name) for shape, _, _ in CASES for name in ("velna", "plain")]
        cpu, collected = run(base, variants)
        pages = -(-COUNT // (PAGE_SIZE - 1))
        print("event retrieval: %d events in %d pages of %d (each request signed); client CPU time "
              "per retrieval, median of %d rounds, each variant in its own process (the machine may "
              "be shared: process time); first: right after the other variants' turns, steady: "
              "right after a retrieval of its own" % (COUNT, pages, PAGE_SIZE, ROUNDS))
        status = 0
        for shape, _, _ in CASES:
            for when in WHEN:
                v, p = (cpu[(shape, name), when] for name in ("velna", "plain"))
                gv, gp = (collected[(shape, name), when] for name in ("velna", "plain"))
                ratio = p / v
                print("  %-8s %-6s velna %6.1f ms (gc %4.1f%%)   plain %6.1f ms (gc %4.1f%%)   ratio %.1f "
                      "(target >= %.0f) %s" % (shape, when, v * 1e3, 100 * gv / v, p * 1e3, 100 * gp / p, ratio,
                                               TARGET, "ok" if ratio >= TARGET else "MISSED"))
                status |= ratio < TARGET
        return status
    finally:
        store.stop()


def worker(base, shape, name):
    """One variant's process: for each line read, a retrieval right after
    the other processes' turns and one right after it, each answered with
    its process time and the collector's share of it."""
    fn = retrieval(login(base), shape, name)
    fn()  # as the parent's check did
    clock = GcClock()
    for _ in sys.stdin:
        figures = []
        for _ in WHEN:
            gc_before, start = clock.total, time.process_time()
            fn()
            figures += [time.process_time() - start, clock.total - gc_before]
        print(*figures, flush=True)


class GcClock:
    """Process time spent in the cyclic garbage collector."""

    def __init__(self):
        self.total, self.started = 0.0, None
        gc.callbacks.append(self)

    def __call__(self, phase, info):
        if phase == "start":
            self.started = time.process_time()
        elif self.started is not None:
            self.total += time.process_time() - self.started
            self.started = None


def run(base, variants):
    """Median process time per call of each variant, and the collector's
    share, each variant in a worker process of its own, in turns: by
    variant and by when the call ran, after the other variants' turns
    ("first") or right after its own call ("steady")."""
    workers = {v: subprocess.Popen([sys.executable, __file__, "--worker", base] + list(v),
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
               for v in variants}
    samples = {(v, when): [] for v in variants for when in WHEN}
    in_gc = {(v, when): [] for v in variants for when in WHEN}
    try:
        for _ in range(ROUNDS):
            for v in variants:
                workers[v].stdin.write("run\n")
                workers[v].stdin.flush()
                figures = list(map(float, workers[v].stdout.readline().split()))
                for k, when in enumerate(WHEN):
                    samples[v, when].append(figures[2 * k])
                    in_gc[v, when].append(figures[2 * k + 1])
    finally:
        for w in workers.values():
            w.stdin.close()
            w.wait()
    return ({k: statistics.median(v) for k, v in samples.items()},
            {k: statistics.median(v) for k, v in in_gc.items()})


if __name__ == "__main__":
    if sys.argv[1:2] == ["--worker"]:
        worker(*sys.argv[2:5])
    else:
        sys.exit(main())
