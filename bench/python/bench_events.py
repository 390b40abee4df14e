"""Event retrieval through velna.providers.server.events beside a plain-Python
client (requests, json and a dataclass), both paging through the same
10 000 events of one server on 127.0.0.1.

The server is nginx serving the event log's pages, rendered beforehand by
the test key server's event log (and its answers to "time" and "login"), so
that what is timed is the client: a Python server would spend most of the
time itself, alike for both.

Both ask for the same pages with the same query, and both end with one
record per event: identifiers as uuid.UUID, times as datetime. velna's
requests carry its session's headers and credentials signed per request;
the plain client sends fixed credentials, so the signing is counted against
velna only.

Usage: PYTHONPATH=<build>/python /usr/bin/python3 bench/python/bench_events.py [--quick]
"""

import dataclasses
import datetime
import json
import os
import sys
import types
import uuid
from typing import Any, Optional

import requests

import timing

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "python"))

from keyserver_events import EventLog, make_events  # noqa: E402
from nginx_store import NginxStore  # noqa: E402

import velna.crypto.p384 as p384  # noqa: E402
import velna.providers.server as server  # noqa: E402
import velna.providers.server.events as events  # noqa: E402

QUICK = "--quick" in sys.argv
REPEATS = 3 if QUICK else 7
SECONDS_PER_REPEAT = 0.2 if QUICK else 0.5
COUNT = 10_000
PAGE_SIZE = 500
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
    return None if text is None else datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))


def ident(text):
    return None if text is None else uuid.UUID(text)


def plain_get(session, base):
    params = {"type": "container", "start": 0}
    gathered: Any = []
    while True:
        page = json.loads(session.get(base + "/v1.0/events/", params=params).content)
        gathered.extend(page["events"])
        if not page["hasMore"]:
            break
        params["start"] = page["events"][-1]["eventId"]
    return [PlainEvent(e["action"], e["eventId"], e["changes"], e["clientAppName"], when(e["containerExpiredAt"]),
                       ident(e["containerId"]), when(e["containerModifiedAt"]), e["containerType"], when(e["date"]),
                       ident(e["relatedUserId"]), e["type"]) for e in gathered]


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
    log.load(make_events(COUNT), page_size=PAGE_SIZE)
    os.makedirs(store.path("events"))
    start = 0
    while True:
        page = log.page({"type": ["container"], "start": [str(start)]})
        store.write("events/container-%d.json" % start, json.dumps(page).encode())
        if not page["hasMore"]:
            break
        start = page["events"][-1]["eventId"]
    now = datetime.datetime.now(datetime.timezone.utc)
    store.write("time.json", json.dumps({"time": now.isoformat()}).encode())
    expiration = (now + datetime.timedelta(days=1)).isoformat()
    store.write("login.json", json.dumps({"token": "token-1", "expiration": expiration}).encode())


def main():
    store = NginxStore(LOCATIONS)
    base = store.url
    try:
        render(store)
        server.initialize("api-key", base)
        key = types.SimpleNamespace(active=True, index=0, private=p384.generate_private_key())
        server.session.authenticate(server.client, types.SimpleNamespace(id=uuid.uuid4(),
                                                                         keys={"signingKeys": {0: key}}))
        plain = requests.Session()
        plain.headers.update({"X-Velna-Api-Key": "api-key"})
        plain.auth = ("token-1", "signature")

        ours = events.get(type="container")
        theirs = plain_get(plain, base)
        assert len(ours) == len(theirs) > COUNT
        assert [dataclasses.astuple(t) for t in theirs] == [tuple(vars(o).values()) for o in ours]

        best = timing.best_seconds([("velna", lambda: events.get(type="container")),
                                    ("plain", lambda: plain_get(plain, base))], REPEATS, SECONDS_PER_REPEAT)
        ratio = best["plain"] / best["velna"]
        pages = -(-COUNT // (PAGE_SIZE - 1))
        print("event retrieval: %d events in %d pages of %d, best of %d" % (len(ours), pages, PAGE_SIZE, REPEATS))
        print("  velna %7.1f ms   plain %7.1f ms   ratio %.1f (target >= %.0f)"
              % (best["velna"] * 1e3, best["plain"] * 1e3, ratio, TARGET))
        return 0 if ratio >= TARGET else 1
    finally:
        store.stop()


if __name__ == "__main__":
    sys.exit(main())
