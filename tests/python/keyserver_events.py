"""The event log of the test key server (keyserver.py): the credentialed
route "events", answered in pages with "hasMore" and the filters of the
query.

The key server keeps one EventLog in its state and routes "events" to
route_events; the tests fill the log through the control request
"_test/events/load" with {"events": [...], "page_size": n, "overlap": bool}
(with overlap, the default, a page starts at the event whose id is "start",
so the boundary event comes again). "_test/events/endless" with
{"page_size": n} makes a log that never ends: every page holds n new events
after "start" and announces more. Scripted answers of the route are the key
server's own ("_test/script").
"""
import threading
import uuid

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
        self.load([])

    def load(self, events, page_size=50, overlap=True, endless=False):
        with self.lock:
            self.events = list(events)
            self.page_size = page_size
            self.overlap = overlap
            self.endless = endless

    def page(self, query):
        """The answer to one events request, given its query as parse_qs
        gives it: {"events": [...], "hasMore": bool}."""
        wire_type = query.get("type", [None])[-1]
        start = int(query.get("start", ["0"])[-1])
        with self.lock:
            if self.endless:
                return {"events": make_events(self.page_size, first_id=start + 1, type=wire_type),
                        "hasMore": True}
        selected, more = [], False
        with self.lock:
            for event in self.events:
                if event["type"] != wire_type or event["eventId"] < start:
                    continue
                if not self.overlap and start and event["eventId"] == start:
                    continue
                if any(name in query and str(event.get(key)) not in query[name] for name, key in FILTERS):
                    continue
                if len(selected) == self.page_size:
                    more = True
                    break
                selected.append(event)
        return {"events": selected, "hasMore": more}


def route_events(state, request):
    return 200, state.event_log.page(request.query)


def control(state, what, args):
    """The control requests "_test/events/<what>"; the answer's JSON value."""
    if what == "load":
        state.event_log.load(args["events"], args.get("page_size", 50), args.get("overlap", True))
    elif what == "endless":
        state.event_log.load([], args.get("page_size", 50), endless=True)
    return {}
