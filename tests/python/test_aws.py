"""velna.providers.server.aws against real servers on 127.0.0.1: Debian's
nginx for the transfers themselves, and a scripted-status server for
retries, the checks of ranged answers and what goes out on the wire."""
import hashlib
import logging
import os
import time

import pytest

from conftest import run_python
from nginx_store import NginxStore, free_port
from server_helpers import velna_server  # noqa: F401

import velna.providers.server.aws as aws
import velna.providers.server.client as client
import velna.providers.server.http as http

CLIENT_LOG = "velna.providers.server.client"


@pytest.fixture(scope="module")
def nginx():
    store = NginxStore()
    yield store
    store.stop()


@pytest.fixture
def waits(monkeypatch):
    """The waits between attempts, recorded instead of slept."""
    recorded = []
    monkeypatch.setattr(time, "sleep", lambda seconds: recorded.append(seconds))
    return recorded


def header_names(request):
    return {name.lower() for name, _ in request["headers"]}


# ---- transfers against nginx ----------------------------------------------

def test_whole_and_ranged_get(nginx):
    content = bytes(range(256)) * 40
    nginx.write("object", content)
    whole = aws.get(nginx.url + "/object")
    assert (whole.status_code, whole.content, whole.ok) == (200, content, True)
    assert int(whole.headers["content-length"]) == len(content)
    nginx.write("doc.json", b'{"a": [1, 2]}')
    assert aws.get(nginx.url + "/doc.json").json() == {"a": [1, 2]}
    for start, end in [(0, 99), (0, 1), (10, 10239), (5000, 5001)]:
        part = aws.get(nginx.url + "/object", start, end)
        assert part.status_code == 206
        assert part.content == content[start:end + 1]
        assert part.headers["Content-Range"] == "bytes %d-%d/%d" % (start, end, len(content))


SHORT = bytes(i % 251 for i in range(1024))  # what scripted_server.py serves as object:1024


# (start, end, the part of the 1024-byte object that comes back, or the error)
PAST_THE_END = [
    (1000, 1099, (1000, 1023)),
    (0, 4095, (0, 1023)),   # the first 4096 bytes of a shorter object
    (1022, 10 ** 12, (1022, 1023)),
    (0, 1023, (0, 1023)),
    (1024, 2000, http.HTTPError),   # 416: nothing of it is there
]


@pytest.mark.parametrize("start, end, expected", PAST_THE_END)
def test_a_range_past_the_objects_end_gets_the_bytes_up_to_it(nginx, scripted, start, end, expected):
    base, _ = scripted
    nginx.write("short", SHORT)
    for url in (nginx.url + "/short", base + "/s/short/object:1024"):
        if isinstance(expected, type):
            with pytest.raises(expected) as e:
                aws.get(url, start, end)
            assert e.value.response.status_code == 416
            continue
        first, last = expected
        part = aws.get(url, start, end)
        assert (part.status_code, part.content) == (206, SHORT[first:last + 1])
        assert part.headers["Content-Range"] == "bytes %d-%d/1024" % (first, last)


@pytest.mark.parametrize("size", [0, 1, 1000])
def test_put_stores_the_body_byte_for_byte(nginx, size):
    body = os.urandom(size)
    answer = aws.put(nginx.url + "/deep/er/put-%d" % size, body)
    assert answer.status_code in (201, 204)
    assert nginx.read("deep/er/put-%d" % size) == body
    assert aws.get(nginx.url + "/deep/er/put-%d" % size).content == body


def test_put_without_data_stores_an_empty_object(nginx):
    nginx.write("was-full", b"old")
    assert aws.put(nginx.url + "/was-full").status_code in (201, 204)
    assert nginx.read("was-full") == b""


def test_a_large_object_goes_up_and_comes_back_whole(nginx):
    size = 256 << 20
    block = os.urandom(1 << 20)
    body = bytearray(block * (size // len(block)))
    body[-7:] = b"the end"
    aws.put(nginx.url + "/large", body)
    stored = hashlib.sha256()
    with open(nginx.path("large"), "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            stored.update(chunk)
    assert stored.digest() == hashlib.sha256(body).digest()
    back = aws.get(nginx.url + "/large")
    assert len(back.content) == size and back.content == body
    tail = aws.get(nginx.url + "/large", size - 7, size - 1)
    assert tail.content == b"the end"


def test_missing_objects_and_refused_connections_fail_at_once(nginx, waits, log_lines):
    with pytest.raises(http.HTTPError) as e:
        aws.get(nginx.url + "/no/such/object")
    assert str(e.value) == "404 Client Error: Not Found for url: %s/no/such/object" % nginx.url
    assert e.value.response.status_code == 404
    assert [m for _, m in log_lines(CLIENT_LOG)] == ["Exception making request."]
    with pytest.raises(http.ConnectionError):
        aws.get("http://127.0.0.1:%d/x" % free_port())
    with pytest.raises(http.InvalidURL):
        aws.get("file:///etc/passwd")
    assert waits == []


# ---- what goes out on the wire ---------------------------------------------

def test_range_header_and_what_a_transfer_sends(scripted):
    base, seen = scripted
    aws.get(base + "/s/range/206:100", 0, 99)
    aws.get(base + "/s/whole/200")
    aws.put(base + "/s/up/201", b"12345")
    aws.put(base + "/s/empty/201")
    ranged, whole, up, empty = seen()
    assert dict(ranged["headers"])["Range"] == "bytes=0-99"
    assert "range" not in header_names(whole)
    assert up["method"] == "PUT" and up["body_length"] == 5 and not up["chunked"]
    assert dict(up["headers"])["Content-Length"] == "5"
    assert dict(empty["headers"])["Content-Length"] == "0"
    for request in (ranged, whole, up, empty):
        assert header_names(request) <= {"host", "user-agent", "accept", "content-length", "range"}


def test_redirects_are_followed_without_credentials(scripted, velna_server):
    # the key server's session is set up with its API key: none of it goes along
    base, seen = scripted
    answer = aws.get(base + "/s/r/go:s~target~200")
    assert answer.status_code == 200 and answer.content == b"ok"
    assert aws.put(base + "/s/p/go:s~stored~201", b"abcdef").status_code == 201
    first, second, put_first, put_second = seen()
    assert second["path"] == "/s/target/200"
    # a redirected upload goes again whole, with its length
    assert (put_second["method"], put_second["path"], put_second["body_length"]) == ("PUT", "/s/stored/201", 6)
    assert dict(put_second["headers"])["Content-Length"] == "6"
    for request in (first, second, put_first, put_second):
        assert not {"authorization", "x-velna-api-key", "x-request-id", "cookie"} & header_names(request)


@pytest.mark.parametrize("data", ["text", 5, {"a": 1}, [1, 2]])
def test_put_refuses_bodies_that_are_not_bytes_like(scripted, data):
    base, seen = scripted
    with pytest.raises(TypeError):
        aws.put(base + "/s/x/201", data)
    assert seen() == []


@pytest.mark.parametrize("data", [b"abc", bytearray(b"abc"), memoryview(b"xabcx")[1:4]])
def test_put_takes_bytes_like_bodies(scripted, data):
    base, seen = scripted
    aws.put(base + "/s/x/201", data)
    assert seen()[0]["body_length"] == 3


# ---- range arguments --------------------------------------------------------

# (start, end, Range header sent or the error raised before sending)
RANGES = [
    (None, None, None),
    (0, None, None),
    (0, 0, None),
    (0, 99, "bytes=0-99"),
    (0, 1, "bytes=0-1"),
    (7, 2 ** 40, "bytes=7-1099511627776"),
    (5, 5, AssertionError),
    (6, 5, AssertionError),
    (-1, 5, AssertionError),
    (5, None, TypeError),
    (None, 5, TypeError),
    (0.5, 3, TypeError),
]


@pytest.mark.parametrize("start, end, outcome", RANGES)
def test_range_arguments(scripted, log_lines, start, end, outcome):
    base, seen = scripted
    url = base + "/s/r/206:%d" % (end - start + 1 if isinstance(outcome, str) and end < 100 else 2)
    if isinstance(outcome, type):
        with pytest.raises(outcome) as e:
            aws.get(url, start, end)
        if outcome is AssertionError:
            assert e.value.args == ()   # a bare assertion, as the runtime's assert gives
        assert seen() == []
        return
    if isinstance(outcome, str) and end > 100:
        with pytest.raises(AssertionError):   # the server does not send that many bytes
            aws.get(url, start, end)
    else:
        aws.get(url, start, end)
    [request] = seen()
    assert dict(request["headers"]).get("Range") == outcome
    expected = {"Range": outcome} if outcome else None
    assert log_lines("velna.providers.server.aws") == [
        (logging.DEBUG, "GETing data from %s, headers: %s" % (url, expected))]


def test_get_and_put_call_the_module_request_function_as_it_is_at_call_time(monkeypatch):
    calls = []
    monkeypatch.setattr(aws, "_make_request", lambda *args, **kwargs: calls.append((args, kwargs)) or len(calls))
    assert aws.get("http://x/a") == 1
    assert aws.get("http://x/a", 2, 9) == 2
    assert aws.put("http://x/b") == 3
    assert aws.put("http://x/b", b"body") == 4
    assert calls == [(("get", "http://x/a"), {"headers": None}),
                     (("get", "http://x/a"), {"headers": {"Range": "bytes=2-9"}}),
                     (("put", "http://x/b"), {"data": None}),
                     (("put", "http://x/b"), {"data": b"body"})]


def test_put_writes_its_debug_line(scripted, log_lines):
    base, _ = scripted
    aws.put(base + "/s/x/201", b"")
    assert log_lines("velna.providers.server.aws") == [(logging.DEBUG, "PUTing data to %s/s/x/201" % base)]


# ---- checks of ranged answers -----------------------------------------------

# (script of the answer to bytes=0-99, error)
RANGED_ANSWERS = [
    ("206:100", None),
    ("200:100", AssertionError),      # the whole object is not the range
    ("200:5000", AssertionError),
    ("206:99", AssertionError),       # one byte short, announced as such
    ("206:101", AssertionError),
    ("206:100:99", http.ConnectionError),   # announced 100, sent 99
    ("206:24", AssertionError),       # short, and no Content-Range to say the object ends
]


@pytest.mark.parametrize("script, error", RANGED_ANSWERS)
def test_a_ranged_answer_must_be_exactly_the_range(scripted, waits, script, error):
    base, seen = scripted
    url = base + "/s/ranged/" + script
    if error is None:
        assert len(aws.get(url, 0, 99).content) == 100
    else:
        with pytest.raises(error):
            aws.get(url, 0, 99)
    assert len(seen()) == 1 and waits == []


def test_range_checks_run_under_optimisation(scripted):
    base, seen = scripted
    code = ("import velna.providers.server.aws as aws\n"
            "try:\n    aws.get(%r, 0, 99)\nexcept AssertionError:\n    print('refused')\n"
            "try:\n    aws.get(%r, 5, 5)\nexcept AssertionError:\n    print('refused')\n"
            % (base + "/s/o/200:5000", base + "/s/o/206:1"))
    result = run_python(code, "-O")
    assert result.stdout.split() == ["refused", "refused"], result.stderr
    assert len(seen()) == 1


# ---- retries -----------------------------------------------------------------

WAITS = [2, 4, 8, 10, 10, 10, 10, 10, 10]

# (script, requests made, waits, outcome: a status or an error class)
RETRIES = [
    ("429", 10, WAITS, client.HttpTooManyRequestsError),
    ("500,200", 2, [2], 200),
    ("502,502,201", 3, [2, 4], 201),
    ("503,200", 2, [2], 200),
    ("500", 10, WAITS, client.HttpInternalServerError),
    ("429,500,502,503,429,500,502,503,429,200", 10, WAITS, 200),
    ("501", 1, [], http.HTTPError),
    ("504", 1, [], http.HTTPError),
    ("404,200", 1, [], http.HTTPError),
    ("302:0", 1, [], 302),
]


@pytest.mark.parametrize("method", ["get", "put"])
@pytest.mark.parametrize("script, count, expected_waits, outcome", RETRIES)
def test_retry_table(scripted, waits, log_lines, method, script, count, expected_waits, outcome):
    base, seen = scripted
    url = base + "/s/%s-%s/%s" % (method, script.replace(",", ""), script)
    body = os.urandom(3000)
    call = (lambda: aws.get(url)) if method == "get" else (lambda: aws.put(url, body))
    if isinstance(outcome, int):
        assert call().status_code == outcome
    else:
        with pytest.raises(outcome) as e:
            call()
        if outcome is not http.HTTPError:
            assert type(e.value) is outcome and e.value.args == ()
    requests = seen()
    assert len(requests) == count
    assert waits == expected_waits
    assert len(log_lines(CLIENT_LOG)) == (count if not isinstance(outcome, int) else count - 1)
    if method == "put":
        assert all(r["body_length"] == len(body) and r["method"] == "PUT" for r in requests)


def test_stalled_answers_time_out_and_are_not_retried(scripted, monkeypatch):
    base, seen = scripted
    monkeypatch.setattr(aws, "STALL_TIMEOUT", 1)
    started = time.monotonic()
    with pytest.raises(http.Timeout):
        aws.get(base + "/s/slow/stall")
    assert time.monotonic() - started < 10
    assert len(seen()) == 1


@pytest.mark.parametrize("value", [1e300, 1e18, 2**80])
def test_huge_time_outs_mean_no_time_out_to_speak_of(nginx, monkeypatch, value):
    nginx.write("object", b"abc")
    monkeypatch.setattr(aws, "CONNECT_TIMEOUT", value)
    monkeypatch.setattr(aws, "STALL_TIMEOUT", value)
    assert aws.get(nginx.url + "/object").content == b"abc"


@pytest.mark.parametrize("value", [0, -1, float("nan"), float("inf")])
def test_time_outs_must_be_positive_finite_seconds(nginx, monkeypatch, value):
    monkeypatch.setattr(aws, "STALL_TIMEOUT", value)
    with pytest.raises(ValueError, match="STALL_TIMEOUT must be a positive number of seconds"):
        aws.get(nginx.url + "/object")


def test_answers_are_the_http_layers_responses(nginx):
    # One class of answer for the REST client and object storage alike.
    http = __import__("velna.providers.server.http", fromlist=["Response"])
    nginx.write("object", b"abc")
    answer = aws.get(nginx.url + "/object")
    assert type(answer) is http.Response and aws.Response is http.Response
    assert (repr(answer), answer.reason, answer.request) == ("<Response [200]>", "OK", None)
    assert answer.headers["Content-Length"] == "3" and answer.url == nginx.url + "/object"
