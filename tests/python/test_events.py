"""velna.providers.server.events against the key server's event log on
127.0.0.1, through the real REST client and a real login."""
import json
import logging
import os
import uuid

import pytest

import velna.providers.server as server
import velna.providers.server.events as events
import velna.providers.server.http as http
from velna.event import Event, EventSchema

from conftest import grown_memory
from keyserver_events import make_events
from server_helpers import make_user, sleeps, velna_server  # noqa: F401

LOG = "velna.providers.server.event"
CID = "6f1e0b62-3b0a-4c55-9a57-0f1d8cf1f3aa"


class Log:
    """The key server's event log: what it holds and what it was asked."""

    def __init__(self, keyserver):
        self.keyserver = keyserver

    def load(self, events, page_size=50, overlap=True):
        self.keyserver.control("events/load", events=events, page_size=page_size, overlap=overlap)

    def script(self, *answers):
        self.keyserver.script("events", *[{"status": status, "bytes" if isinstance(body, bytes) else "json": body}
                                          for status, body in answers])

    def seen(self):
        """The query of each events request, as (name, [values]) pairs in order."""
        return [list(r["query"].items()) for r in self.keyserver.requests("events")]


@pytest.fixture
def log(velna_server):
    """A logged-in user and an empty event log."""
    server.session.authenticate(server.client, make_user(velna_server, "accepted"))
    return Log(velna_server)


def test_nobody_logged_in(log, log_lines):
    server.session.logout()
    for kwargs in ({"type": "container"}, {}):
        with pytest.raises(RuntimeError, match="^Must login!$"):
            events.get(**kwargs)
    logging.getLogger("velna").setLevel(logging.DEBUG)
    try:
        with pytest.raises(RuntimeError, match="^Must login!$"):
            events.get(type="lockbox")
    finally:
        logging.getLogger("velna").setLevel(logging.NOTSET)
    assert log_lines(LOG) == [(logging.DEBUG, "get(, {'type': 'lockbox'})")]
    assert log.seen() == []


def q(*pairs):
    return [(name, values if isinstance(values, list) else [values]) for name, values in pairs]


FIRST = q(("type", "container"), ("start", "0"))

# (keywords, query of the first request, or the error raised before any)
QUERIES = [
    ({"type": "container"}, FIRST),
    ({"type": "lockbox"}, q(("type", "keysFile"), ("start", "0"))),
    ({"action": "added", "starting_event_id": 3, "container_type": "note", "container_id": CID,
      "type": "container"},
     q(("type", "container"), ("start", "3"), ("containerId", CID), ("containerType", "note"), ("action", "added"))),
    ({"type": "container", "container_id": uuid.UUID(CID)}, FIRST + q(("containerId", CID))),
    ({"type": "container", "container_id": None, "action": None}, FIRST),
    ({"type": "container", "container_type": ["a", "b c"]}, FIRST + q(("containerType", ["a", "b c"]))),
    ({"type": "container", "starting_event_id": 0, "unknown": 1}, FIRST),
    ({"type": "keysFile"}, (ValueError, "type can only be one of ['container', 'lockbox']")),
    ({"type": "container", "action": ""},
     (ValueError, "action can only be one of ['accessed', 'added', 'deleted', 'updated']")),
    ({"type": "container", "action": "created"}, (ValueError, "action can only be one of")),
    ({"action": "added"}, (KeyError, "type")),
]


@pytest.mark.parametrize("kwargs, expected", QUERIES)
def test_filters_become_the_query_in_their_order(log, log_lines, kwargs, expected):
    if isinstance(expected, list):
        assert events.get(**kwargs) == []
        assert log.seen() == [expected]
    else:
        with pytest.raises(expected[0]) as e:
            events.get(**kwargs)
        assert expected[1] in str(e.value)
        assert log.seen() == []
    assert log_lines(LOG)[0] == (logging.DEBUG, "Retrieving events: %s" % kwargs)


def test_positional_arguments_are_refused(log):
    with pytest.raises(TypeError):
        events.get("container")
    assert log.seen() == []


def test_pages_are_gathered_with_the_boundary_event_repeated(log, log_lines):
    wire = make_events(120, type="container") + make_events(3, first_id=500, type="keysFile")
    log.load(wire, page_size=50)
    got = events.get(type="container")
    assert log.seen() == [FIRST, q(("type", "container"), ("start", "50")), q(("type", "container"), ("start", "99"))]
    expected = EventSchema(many=True).load(wire[:50] + wire[49:99] + wire[98:120]).data
    assert all(type(e) is Event for e in got)
    assert got == expected and [e.id for e in got].count(50) == 2
    assert log_lines(LOG)[-1] == (logging.DEBUG, "Events: %s" % got)

    assert [e.id for e in events.get(type="lockbox", starting_event_id=501)] == [501, 502]

    # a starting_event_id of None leaves start out of the first request; the
    # pages that follow start at the server's own ids
    got = events.get(type="container", starting_event_id=None)
    assert [e.id for e in got] == [e.id for e in expected]
    assert log.seen()[-3:] == [q(("type", "container")), q(("type", "container"), ("start", "50")),
                               q(("type", "container"), ("start", "99"))]


def test_filters_select_on_the_server(log):
    wire = make_events(40)
    log.load(wire, page_size=7)
    got = events.get(type="container", action="deleted")
    ids = [e.id for e in got]
    assert sorted(set(ids)) == [e["eventId"] for e in wire if e["action"] == "deleted"]
    assert len(ids) == 10 + 1 and all(e.action == "deleted" for e in got)   # one boundary repeated


def test_a_last_page_without_more_ends_the_call(log, log_lines):
    log.load(make_events(3), page_size=3)
    assert len(events.get(type="container")) == 3 and len(log.seen()) == 1
    log.load([])
    assert events.get(type="container") == []
    assert log_lines(LOG)[-1] == (logging.DEBUG, "Events: []")


ENDLESS = (200, {"events": make_events(1, first_id=5), "hasMore": True})

# (scripted answers, requests made, error, message)
STUCK = [
    ([ENDLESS] * 5, 2, RuntimeError, "would not advance"),
    ([(200, {"events": make_events(2, first_id=1), "hasMore": True}),
      (200, {"events": make_events(1, first_id=1), "hasMore": True})], 2, RuntimeError, "would not advance"),
    # no last event to go on from
    ([(200, {"events": [], "hasMore": True})] * 5, 1, IndexError,
     "^The key server announced more events after event 0 but sent an empty page.$"),
]


@pytest.mark.parametrize("answers, count, error, message", STUCK)
def test_paging_that_makes_no_progress_stops_with_an_error(log, answers, count, error, message):
    log.script(*answers)
    with pytest.raises(error, match=message):
        events.get(type="container")
    assert len(log.seen()) == count


def test_paging_limits_are_documented_module_values():
    assert (events.MAX_EVENT_PAGES, events.MAX_EVENT_BYTES) == (10000, 64 << 20)
    assert "MAX_EVENT_PAGES" in events.__doc__ and "MAX_EVENT_BYTES" in events.__doc__


# (module values, requests made before the request error)
BOUNDS = [
    ({"MAX_EVENT_PAGES": 5}, 5),
    ({"MAX_EVENT_PAGES": 1}, 1),
    ({"MAX_EVENT_BYTES": 10000}, 3),   # pages of ten events, 3.6 kB each
]


@pytest.mark.parametrize("values, count", BOUNDS)
def test_a_log_that_never_ends_stops_at_the_paging_limits(log, monkeypatch, values, count):
    log.keyserver.control("events/endless", page_size=10)
    for name, value in values.items():
        monkeypatch.setattr(events, name, value)
    with pytest.raises(http.RequestException, match="event log does not end") as e:
        events.get(type="container")
    assert "MAX_EVENT_PAGES and MAX_EVENT_BYTES" in str(e.value)
    seen = log.seen()
    assert len(seen) == count
    # every page advanced: only the limits stopped it
    assert [dict(q)["start"] for q in seen] == [[str(10 * n)] for n in range(count)]


def test_a_log_of_exactly_the_page_limit_is_read_whole(log, monkeypatch):
    log.load(make_events(30), page_size=10, overlap=False)
    monkeypatch.setattr(events, "MAX_EVENT_PAGES", 3)
    assert [e.id for e in events.get(type="container")] == list(range(1, 31))


@pytest.mark.parametrize("name, value, error", [
    ("MAX_EVENT_PAGES", 0, ValueError), ("MAX_EVENT_BYTES", -1, ValueError), ("MAX_EVENT_PAGES", "5", TypeError),
])
def test_paging_limits_are_positive_integers(log, monkeypatch, name, value, error):
    monkeypatch.setattr(events, name, value)
    with pytest.raises(error):
        events.get(type="container")
    assert log.seen() == []


def test_a_log_that_never_ends_holds_no_more_memory_than_its_byte_limit(velna_server):
    # In a child, so that its peak resident set is its own.
    velna_server.control("events/endless", page_size=100)
    setup = (
        "import sys\nsys.path.insert(0, %r)\n"
        "import velna.providers.server as server\n"
        "import velna.providers.server.events as events\n"
        "from keyserver_fixture import KeyServer\n"
        "from server_helpers import make_user\n"
        "keyserver = KeyServer.__new__(KeyServer)  # the parent's key server, steered over HTTP\n"
        "keyserver.url, keyserver.api_key = %r, %r\n"
        "server.initialize(keyserver.api_key, keyserver.url, 'child')\n"
        "server.session.authenticate(server.client, make_user(keyserver, 'accepted'))\n"
        "events.MAX_EVENT_BYTES = 4 << 20\n"
        % (os.path.dirname(os.path.abspath(__file__)), velna_server.url, velna_server.api_key))
    code = ("try:\n    events.get(type='container')\n    result = 'ended'\n"
            "except server.http.RequestException as e:\n    result = str(e)\n")
    result, grown = grown_memory(setup, code)
    assert "more than the limit of 4194304 bytes" in result
    # 4 MiB of answers, as records: far from the gigabytes of a loop without end
    assert grown < 96 << 20


def test_schema_errors_are_logged_not_raised(log, log_lines):
    wire = make_events(3)
    wire[1]["date"] = None
    wire[2]["containerId"] = "nope"
    log.load(wire)
    got = events.get(type="container")
    assert [type(e) for e in got] == [dict, dict, dict]
    warnings = [m for level, m in log_lines(LOG) if level == logging.WARNING]
    assert warnings == ["Schema load errors: %s" % {1: {"date": ["Field may not be null."]},
                                                     2: {"containerId": ["Not a valid UUID."]}}]


# (scripted answers, error, requests made)
BAD_ANSWERS = [
    ([(200, b"not json")], ValueError, 1),
    ([(200, {"events": []})], KeyError, 1),
    ([(200, {"hasMore": False})], KeyError, 1),
    ([(200, {"events": [{"id": 1}], "hasMore": True})], KeyError, 1),
    ([(404, {})], http.HTTPError, 1),
    ([(500, {}), (200, {"events": [], "hasMore": False})], None, 2),
]


@pytest.mark.parametrize("answers, error, count", BAD_ANSWERS)
def test_bad_answers(log, sleeps, answers, error, count):
    log.script(*answers)
    if error is None:
        assert events.get(type="container") == [] and sleeps == [2]
    else:
        with pytest.raises(error) as e:
            events.get(type="container")
        if error is http.HTTPError:
            assert "  Request ID: " in str(e.value)
    assert len(log.seen()) == count


# ---- pages read straight into records -------------------------------------
#
# Each body is answered twice: once to events.get as it stands (its pages
# are read straight into records), once through a client.get of another
# object, which takes the general decoding and load. Both must agree to the
# last detail: records, errors, warning lines.
from test_event import VARIANTS, WIRE  # noqa: E402


def body(*items, more=False, **extra):
    return json.dumps(dict({"events": list(items), "hasMore": more}, **extra)).encode()


def raw(events_text, more="false"):
    return ('{"events": [%s], "hasMore": %s}' % (events_text, more)).encode()


WIRE_TEXT = json.dumps(WIRE)[1:-1]  # the members of WIRE, without braces
ONE = "{%s}" % WIRE_TEXT

BODIES = [body(WIRE, dict(WIRE, **{key: value})) for key, value in VARIANTS
          if not isinstance(value, (bytes, uuid.UUID))] + [
    body(), body(WIRE, total=1, next=None), body(dict(WIRE, extra=1)), body(dict(WIRE, container_id=CID)),
    body({k: v for k, v in WIRE.items() if k != "type"}), body(dict(WIRE, eventId=5.0)),
    body(dict(WIRE, eventId=-0)), body(dict(WIRE, eventId=10 ** 18)), body(dict(WIRE, eventId=10 ** 17)),
    body(dict(WIRE, changes=None, clientAppName=None, containerExpiredAt=None, containerId=None,
              containerModifiedAt=None, containerType=None, relatedUserId=None)),
    body(dict(WIRE, action=None)), body(dict(WIRE, changes=[1])), body(dict(WIRE, changes="x")),
    body(dict(WIRE, changes={"a": "}]\"{", "b": [{"c": None}]})), body(dict(WIRE, date="2026-02-03T04:05:07-00:00")),
    body(dict(WIRE, date="2026-02-03T04:05:07+05:30")), body(dict(WIRE, containerId=CID.upper())),
    body(dict(WIRE, clientAppName="\u00e9\u4e2d\U0001f600"), dict(WIRE, clientAppName="\ud800")),
    json.dumps({"events": [WIRE, WIRE], "hasMore": False}, indent=2).encode(),
    json.dumps({"events": [dict(WIRE, clientAppName="é")], "hasMore": False}, ensure_ascii=False).encode(),
    b"\xef\xbb\xbf" + body(WIRE), body(WIRE) + b" \n", body(WIRE) + b" x", body(WIRE)[:-1],
    raw(ONE.replace('"updated"', '"up\\u0064ated"')), raw(ONE.replace('"note"', '"no\\"te"')),
    raw(ONE.replace('"app"', '"a\\/p"')), raw(ONE.replace('"eventId": 7', '"eventId": 007')),
    raw(ONE.replace('"eventId": 7', '"eventId": 7e0')), raw(ONE.replace('"eventId": 7', '"eventId": true')),
    raw("{%s, \"eventId\": 9}" % WIRE_TEXT), raw("{%s, \"action\": \"added\"}" % WIRE_TEXT),
    raw("{%s, \"ev\\u0065ntId\": 9}" % WIRE_TEXT), raw(ONE).replace(b'"app"', b'"\xc3"'),
    raw(ONE).replace(b'"app"', b'"a\x01"'), raw(ONE, more="0"), raw(ONE)[:-1] + b', "events": []}',
    raw(ONE + ", " + ONE.replace(": 7", ": 8")), raw(ONE.replace(", ", " ,\r\n\t")),
    b'{"hasMore": false, "events": [{%s}]}' % WIRE_TEXT.encode(), b'{"events": {"a": 1}, "hasMore": false}',
    b'{"events": [1, "x", null, []], "hasMore": false}', b'{"events": [], "hasMore": false, "x": NaN}',
    body(dict(WIRE, changes=json.loads("[" * 70 + "]" * 70))), b"[]", b'{"time": "x"}',
]


def outcome(call):
    """What a call returns, the warning lines it writes, or what it raises."""
    try:
        data = call()
    except Exception as e:  # the very error is compared
        return ("raised", type(e), str(e))
    shape = []
    for record in data:
        values = vars(record) if isinstance(record, Event) else record if isinstance(record, dict) else {}
        for v in values.values():
            shape.append((type(v), getattr(v, "tzinfo", None), getattr(v, "is_safe", None)))
    return ("returned", repr(data), shape)


def warnings(caplog):
    lines = [r.getMessage() for r in caplog.records if r.name == LOG and r.levelno == logging.WARNING]
    caplog.clear()
    return lines


@pytest.mark.parametrize("page", BODIES)
@pytest.mark.parametrize("replaced", [None, "Event", "EventSchema"])
def test_pages_read_into_records_agree_with_the_general_path(log, caplog, monkeypatch, page, replaced):
    import velna.event

    if replaced == "Event":
        monkeypatch.setattr(velna.event, "Event", type("Event", (Event,), {}))
    elif replaced == "EventSchema":
        monkeypatch.setattr(events, "EventSchema", type("EventSchema", (EventSchema,), {}))
    agree_on(page, log, caplog, monkeypatch)


def agree_on(page, log, caplog, monkeypatch):
    """|page| read by events.get as it stands and through the general path."""
    import velna.providers.server.client as client

    log.script((200, page), (200, page))
    ours = outcome(lambda: events.get(type="container")), warnings(caplog)
    own_get = client.get
    monkeypatch.setattr(client, "get", lambda *args, **kwargs: own_get(*args, **kwargs))
    general = outcome(lambda: events.get(type="container")), warnings(caplog)
    assert ours == general


# Every key an event object is read from (wire keys and attribute names),
# each with values of every JSON kind, null and absent, with the near misses
# of each field's kind; and objects that mix them, carry unknown keys, or are
# no objects at all.
UUID_TEXT = "6f1e0b62-3b0a-4c55-9a57-0f1d8cf1f3aa"
KEYS = ["eventId", "id", "action", "changes", "clientAppName", "client_app_name", "containerExpiredAt",
        "container_expired_at", "containerId", "container_id", "containerModifiedAt", "container_modified_at",
        "containerType", "container_type", "date", "relatedUserId", "related_user_id", "type"]
VALUES = [None, 0, 7, -3, 2.5, 1e300, float("inf"), True, False, "", "x", "12", " 12 ", "1_2", "٣", "é",
          "\ud800", [], [1, {"a": None}], {}, {"k": [1, {"z": None}]}, "2026-02-03T04:05:07Z",
          "2026-02-03T04:05:07z", "2026-2-3 4:5:6.1234567-02:30", "2026-02-03T04:05:07+24:00",
          "٢٠٢٦-02-03T04:05", UUID_TEXT, UUID_TEXT.upper(), "{%s}" % UUID_TEXT,
          "urn:uuid:" + UUID_TEXT, UUID_TEXT.replace("-", "")[:-1] + "٣", " 0x" + "0" * 29 + "f"]


def corpus():
    pages = []
    for key in KEYS:
        for value in VALUES:
            pages.append(body(WIRE, dict(WIRE, **{key: value})))
        pages.append(body(WIRE, {k: v for k, v in WIRE.items() if k != key}))
        pages.append(body({k: v for k, v in WIRE.items() if k != key}, dict(WIRE, date=None)))
    pages += [
        body(dict(WIRE, userId=UUID_TEXT, details={"ip": "10.0.0.1"}, extra=[1, 2]), dict(WIRE, **{"": 1})),
        body(WIRE, 5, "text", None, [WIRE], dict(WIRE, eventId="x")),
        body(dict(WIRE, eventId=1, id=None), dict(WIRE, containerId=None, container_id="nope")),
        body({}, WIRE), body({"eventId": 3}), body(dict(WIRE, date=1), dict(WIRE, action=[]), dict(WIRE, type={})),
        raw(ONE.replace('"eventId": 7', '"eventId": 7, "eventId": "8"')),
        raw(ONE.replace('"date": ', '"date": null, "date": ')),
        raw(ONE.replace('"action": "updated"', '"action": "updated", "id": 4, "id": "x"')),
        raw(ONE.replace('"containerId"', '"cont\\u0061inerId"')), raw(ONE.replace('"type"', '"t\\u00ffpe"')),
        raw(ONE.replace('"action"', '"\\ud800"')), raw(ONE.replace('"eventId": 7', '"eventId": 12345678901234567890')),
        raw(ONE.replace('"eventId": 7', '"eventId": -0.0')), raw(ONE.replace('"eventId": 7', '"eventId": 1E2')),
        # objects of one page with their keys in other orders, a key at its
        # usual place replaced by a longer one, another spelling or one escaped
        body(WIRE, dict(reversed(list(WIRE.items()))), {("x" + k if k == "date" else k): v for k, v in WIRE.items()},
             {(k + "x" if k == "type" else k): v for k, v in WIRE.items()}, WIRE,
             {("related_user_id" if k == "relatedUserId" else k): v for k, v in WIRE.items()}, WIRE),
        raw(ONE + ", " + ONE.replace('"action"', '"\\u0061ction"') + ", " + ONE.replace('"type"', '"typ"')),
        # a field's name before its wire key, either of them refused, and
        # repeated on both sides of it
        raw('{"container_id": "nope", %s}' % WIRE_TEXT),
        raw('{"container_id": "%s", %s}' % (UUID_TEXT, WIRE_TEXT.replace('"containerId": "', '"containerId": "x'))),
        raw('{"id": 3, "date": null, %s, "id": 4, "eventId": "x"}' % WIRE_TEXT),
        raw('{"related_user_id": null, %s, "relatedUserId": "x", "related_user_id": "%s"}' % (WIRE_TEXT, UUID_TEXT)),
        # times and identifiers with escapes, a quotation mark among them, or
        # a line feed at the end, escaped or as it stands
        raw(ONE).replace(b'07Z"', b'07Z\n"'),
        raw(ONE.replace('07Z"', '07\\u005a"')), raw(ONE.replace('07Z"', '07Z\\n"')),
        raw(ONE.replace('07Z"', '07Z\\"x"')), raw(ONE.replace('07Z"', '0\\u0037Z"')),
        raw(ONE.replace('07Z"', '07\\\\"')), raw(ONE.replace('"2026-02-03T04:05:07Z"', '"\\"2026-02-03T04:05:07Z"')),
        raw(ONE.replace('f3aa"', 'f3a\\u0061"')), raw(ONE.replace('f3aa"', 'f3aa\\"x"')),
        raw(ONE.replace('6f1e0b62-', '6f1e0b62\\u002d')), raw(ONE.replace('f3aa"', 'f3a\\\\"')),
    ]
    # UTF-8 read where it stands: sequences of every length, beside escapes,
    # in member names, and bytes the strict decoder refuses
    for text in (b"\xc3\xa9", b"\xe4\xb8\xad", b"\xf0\x9f\x98\x80", b"a\\\"\xc3\xa9\\u00e9\\ud83d\\ude00\xe2\x9c\x93",
                 b"\xc0\x80", b"\xe0\x80\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xc3", b"\xe4\xb8", b"\x80",
                 b"\xf8\x88\x80\x80\x80", b"\xef\xbb\xbf"):
        pages.append(raw(ONE).replace(b'"app"', b'"' + text + b'"'))
        pages.append(raw(ONE).replace(b'"containerType"', b'"containerType' + text + b'"'))
    pages += [b"\xef\xbb\xbf" + raw(ONE).replace(b'"note"', b'"\xc3\xa9"'), raw(ONE).replace(b", ", b",\xc2\xa0")]
    return pages


@pytest.mark.parametrize("page", corpus())
def test_pages_of_every_shape_agree_with_the_general_path(log, caplog, monkeypatch, page):
    agree_on(page, log, caplog, monkeypatch)


def test_pages_read_into_records_across_pages_and_back(log, caplog, monkeypatch):
    import velna.providers.server.client as client

    first = body(WIRE, dict(WIRE, eventId=8), more=True)
    end = body(dict(WIRE, eventId=9))
    # (second page, third page when the second asks for one)
    for last, then in ((body(dict(WIRE, eventId=8), dict(WIRE, eventId=9)), []),
                       (body(dict(WIRE, eventId=8), dict(WIRE, eventId=9, date=None)), []),
                       (body(dict(WIRE, eventId=8), dict(WIRE, eventId=9, extra=1), more=True) + b" ", [end]),
                       (body(dict(WIRE, eventId=8), dict(WIRE, eventId=9), more=True), [b"not json"]),
                       (body(dict(WIRE, eventId=8), dict(WIRE, eventId=8), more=True), []),
                       (body(dict(WIRE, eventId=8), dict(WIRE, eventId="9"), more=True), [end]),
                       (body(dict(WIRE, eventId=8), dict(WIRE, eventId=None, id=9), more=True), [end]),
                       (body(dict(WIRE, eventId=8), {k: v for k, v in WIRE.items() if k != "eventId"}, more=True),
                        []),
                       (body(dict(WIRE, eventId=8), dict(WIRE, eventId=9, date="x"), more=True), [end]),
                       (body(dict(WIRE, eventId=8), [9], more=True), []),
                       (body(dict(WIRE, eventId=8), "9", more=True), [])):
        answers = [(200, first), (200, last)] + [(200, b) for b in then]
        log.script(*answers, *answers)
        ours = outcome(lambda: events.get(type="container")), warnings(caplog)
        own_get = client.get
        monkeypatch.setattr(client, "get", lambda *args, **kwargs: own_get(*args, **kwargs))
        general = outcome(lambda: events.get(type="container")), warnings(caplog)
        monkeypatch.undo()
        assert ours == general
    # The reader did run: equal texts of one page share one str, which the
    # general decoding does not do.
    log.script((200, body(WIRE, WIRE)))
    got = events.get(type="container")
    assert got[0].action is got[1].action


def test_requests_made_while_a_page_is_asked_for_decode_as_usual(log, monkeypatch):
    import velna.providers.server.client as client

    log.load(make_events(3))
    nested, own_uuid4 = [], uuid.uuid4

    def uuid4():  # looked up by the session for every request
        if not nested:
            nested.append(None)
            nested[0] = client.get("events", params={"type": "container", "start": 0}).json()["events"]
        return own_uuid4()

    monkeypatch.setattr(uuid, "uuid4", uuid4)
    got = events.get(type="container")
    assert [type(e) for e in nested[0]] == [dict] * 3 and [type(e) for e in got] == [Event] * 3


def test_pages_read_on_two_threads_stay_apart(log, monkeypatch):
    import threading

    import velna.providers.server.client as client

    log.load(make_events(3))
    other, table = [], client._retry_exceptions

    class Table(dict):
        def get(self, status):  # looked up by the client after each answer
            if threading.current_thread() is threading.main_thread() and not other:
                other.append(None)
                thread = threading.Thread(target=lambda: other.__setitem__(0, events.get(type="container")))
                thread.start()
                thread.join()
            return table.get(status)

    monkeypatch.setattr(client, "_retry_exceptions", Table(table))
    got = events.get(type="container")
    assert got == other[0] and [type(e) for e in got] == [Event] * 3


def test_records_read_from_pages_are_plain_instances_the_collector_may_skip(log, monkeypatch):
    import gc

    import velna.providers.server.client as client

    # A record made first in another order, with an extra attribute, changes
    # nothing for the records read later.
    first = Event.__new__(Event)
    for name in reversed(Event.__match_args__):
        object.__setattr__(first, name, None)
    first.extra = 1
    nested = dict(WIRE, changes={"list": [1]})
    log.script(*[(200, body(WIRE, nested, dict(WIRE, changes=None)))] * 2)
    own_get = client.get
    read = events.get(type="container")
    monkeypatch.setattr(client, "get", lambda *args, **kwargs: own_get(*args, **kwargs))
    general = events.get(type="container")
    assert read == general
    for records in (read, general):
        assert [list(vars(r)) for r in records] == [list(Event.__match_args__)] * 3
    # Only a record that holds a container the collector tracks is tracked;
    # setting or adding an attribute tracks it again.
    assert [gc.is_tracked(r) for r in read] == [False, True, False]
    plain, other = read[0], read[2]
    plain.note = []
    other.action = "deleted"
    assert gc.is_tracked(plain) and gc.is_tracked(other)
    assert list(vars(plain))[-1] == "note" and vars(other)["action"] == "deleted"
    # A record the collector skips still takes part in a cycle once it holds
    # one, and the cycle is collected.
    plain.note.append(plain)
    ref = __import__("weakref").ref(plain)
    del plain, read, records
    gc.collect()
    assert ref() is None
