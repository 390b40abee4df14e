"""The event log of the test key server: the path "events" with pages,
"hasMore", the filters, and answers scripted by the test.

EventLog answers one GET of /v1.0/events/ from its query. The key server
routes the path here; run as a program, this module serves the event log on
127.0.0.1 and prints its port. It then also answers "time" and "login" as
far as a session needs them to log in (any signature is taken), and counts
an events request without the API key or Basic credentials as 401.

Control requests (JSON bodies), also routed here by the key server:
  POST /__events/load    {"events": [...], "page_size": n, "overlap": bool}
                         replaces the log; with overlap a page starts at the
                         event whose id is "start" (the boundary comes again)
  POST /__events/script  {"answers": [[status, body], ...], "repeat": bool}
                         the next requests get these answers in turn (the
                         last again and again with repeat) instead of pages
  GET  /__events/seen    the query strings of the event requests so far
"""
import datetime
import json
import sys
import threading
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

EVENTS_PATH = "/v1.0/events/"

# query parameter -> event key it filters on
FILTERS = [("containerId", "containerId"), ("containerType", "containerType"), ("action", "action")]


def make_events(count, first_id=1, type="container", container_id=None):
    """|count| valid event objects with increasing ids."""
    container_id = container_id or str(uuid.UUID(int=1))
    return [{"eventId": first_id + i, "action": ["accessed", "added", "deleted", "updated"][i % 4],
             "changes": {"name": "file-%d" % i} if i % 3 == 0 else None,
             "clientAppName": "bench" if i % 2 else None,
             "containerExpiredAt": None, "containerId": container_id,
             "containerModifiedAt": "2026-01-%02dT10:11:12.%06dZ" % (1 + i % 28, i % 1000000),
             "containerType": "note", "date": "2026-02-%02dT01:02:03+00:00" % (1 + i % 28),
             "relatedUserId": str(uuid.UUID(int=i + 7)), "type": type}
            for i in range(count)]


class EventLog:
    def __init__(self):
        self.lock = threading.Lock()
        self.events = []
        self.page_size = 50
        self.overlap = True
        self.answers = []
        self.repeat = False
        self.seen = []
        self.cache = {}

    def load(self, events, page_size=50, overlap=True):
        with self.lock:
            self.events = events
            self.page_size = page_size
            self.overlap = overlap
            self.answers = []
            self.seen = []
            self.cache = {}

    def script(self, answers, repeat=False):
        with self.lock:
            self.answers = [(status, body if isinstance(body, str) else json.dumps(body)) for status, body in answers]
            self.repeat = repeat

    def page(self, query_string):
        """(status, body bytes) of one event request."""
        with self.lock:
            self.seen.append(query_string)
            if self.answers:
                status, body = self.answers[0] if self.repeat and len(self.answers) == 1 else self.answers.pop(0)
                return status, body.encode()
            cached = self.cache.get(query_string)
            if cached is not None:
                return 200, cached
        query = parse_qs(query_string, keep_blank_values=True)
        wire_type = query.get("type", [None])[-1]
        start = int(query.get("start", ["0"])[-1])
        selected = []
        more = False
        for event in self.events:
            if event["type"] != wire_type:
                continue
            if event["eventId"] < start or (not self.overlap and event["eventId"] == start and start):
                continue
            if any(name in query and str(event.get(key)) not in query[name] for name, key in FILTERS):
                continue
            if len(selected) == self.page_size:
                more = True
                break
            selected.append(event)
        body = json.dumps({"events": selected, "hasMore": more}).encode()
        with self.lock:
            self.cache[query_string] = body
        return 200, body

    def control(self, method, path, body):
        """(status, body bytes) of a control request, or None for other paths."""
        if path == "/__events/load" and method == "POST":
            request = json.loads(body)
            self.load(request["events"], request.get("page_size", 50), request.get("overlap", True))
            return 200, b"{}"
        if path == "/__events/script" and method == "POST":
            request = json.loads(body)
            self.script(request["answers"], request.get("repeat", False))
            return 200, b"{}"
        if path == "/__events/seen":
            with self.lock:
                return 200, json.dumps(self.seen).encode()
        return None


class Handler(BaseHTTPRequestHandler):
    """The event log with a login that takes any signature."""
    protocol_version = "HTTP/1.1"
    log = EventLog()

    def log_message(self, *args):
        pass

    def answer(self, status, body):
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def handle_any(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        parts = urlsplit(self.path)
        if parts.path == EVENTS_PATH:
            if not self.headers.get("X-Velna-Api-Key") or \
                    not self.headers.get("Authorization", "").startswith("Basic "):
                return self.answer(401, b'{"error": "unauthorized"}')
            return self.answer(*self.log.page(parts.query))
        now = datetime.datetime.now(datetime.timezone.utc)
        if parts.path == "/v1.0/time/":
            return self.answer(200, json.dumps({"time": now.isoformat()}).encode())
        if parts.path == "/v1.0/login/":
            expiration = (now + datetime.timedelta(hours=1)).isoformat()
            return self.answer(200, json.dumps({"token": "token-1", "expiration": expiration}).encode())
        answer = self.log.control(self.command, parts.path, body)
        return self.answer(*(answer or (404, b"{}")))

    do_GET = do_POST = handle_any


def main():
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
