"""The HTTP layer of the server provider: sessions, answers, headers and
errors, with python3-requests as the oracle of what callers expect."""
import pytest
import requests

import velna.providers.server.http as http
from keyserver_fixture import KeyServer, closed_port, unanswered_port  # noqa: F401

HEADERS = {"X-Velna-Api-Key": "test-api-key"}


def ids():
    import uuid
    return {"X-Request-Id": str(uuid.uuid4())}


@pytest.fixture
def session():
    with http.Session() as s:
        yield s


def test_errors_are_os_errors_with_their_own_kinds():
    assert issubclass(http.RequestException, OSError)
    for cls in (http.HTTPError, http.ConnectionError, http.Timeout, http.InvalidURL):
        assert issubclass(cls, http.RequestException)
    assert issubclass(http.ConnectTimeout, http.ConnectionError)
    assert issubclass(http.ConnectTimeout, http.Timeout)
    assert issubclass(http.InvalidURL, ValueError)
    e = http.HTTPError("boom")
    assert (str(e), e.response, e.request) == ("boom", None, None)
    assert http.CONNECT_TIMEOUT == 10.0 and http.STALL_TIMEOUT == 30.0


def test_one_session_keeps_one_connection_and_single_requests_do_not(keyserver, session):
    url = keyserver.url + "v1.0/time/"
    for _ in range(4):
        assert session.get(url, headers={**HEADERS, **ids()}).json()["time"]
    for _ in range(2):
        assert http.request("GET", url, headers={**HEADERS, **ids()}).status_code == 200
    peers = [r["peer"] for r in keyserver.requests()]
    assert len(set(peers[:4])) == 1 and len(set(peers)) == 3


@pytest.mark.parametrize("params", [
    {"userId": "4b2c", "authKeyIndex": 0, "challenge": "2026-12-10T14:00:00.5+00:00",
     "verification": "MGQCMAb+/x=="},
    {"b": ["1", None, "2"], "a": "x y", "none": None, "é": "ü", "t": True, "e": ""},
    [("k", "v"), ("k", "w")],
    "already=encoded&x=1",
])
def test_queries_are_encoded_as_requests_encodes_them(keyserver, session, params):
    url = keyserver.url + "v1.0/time/?pre=1"
    session.get(url, params=params, headers={**HEADERS, **ids()})
    expected = requests.Request("GET", url, params=params).prepare().path_url
    (seen,) = keyserver.requests()
    assert seen["path"] == "/v1.0/time/"
    raw = expected.split("?", 1)[1]
    import urllib.parse
    assert seen["query"] == urllib.parse.parse_qs(raw, keep_blank_values=True)


@pytest.mark.parametrize("status", [400, 404, 418, 500, 504, 599])
def test_status_errors_read_as_requests_writes_them(keyserver, session, status):
    keyserver.script("time", status, status)
    url = keyserver.url + "v1.0/time/?a=1"
    ours = session.get(url, headers={**HEADERS, **ids()})
    theirs = requests.get(url, headers={**HEADERS, **ids()})
    assert (ours.status_code, ours.reason, ours.url) == (theirs.status_code, theirs.reason, theirs.url)
    assert not ours.ok and not ours
    with pytest.raises(http.HTTPError) as e:
        ours.raise_for_status()
    with pytest.raises(requests.HTTPError) as t:
        theirs.raise_for_status()
    assert str(e.value) == str(t.value)
    assert e.value.response is ours and e.value.request is ours.request


def test_texts_mask_credentials_that_the_objects_keep(keyserver, session):
    keyserver.script("time", 403)
    url = keyserver.url + "v1.0/time/?userId=u&verification=V3rifier%2B&X-Amz-Signature=S1g"
    r = session.get(url, headers={**HEADERS, **ids()}, auth=("t0ken", "pa55"))
    with pytest.raises(http.HTTPError) as e:
        r.raise_for_status()
    assert str(e.value) == ("403 Client Error: Forbidden for url: " + keyserver.url +
                            "v1.0/time/?userId=u&verification=***&X-Amz-Signature=***")
    assert r.url == url and r.request.url == url  # what callers read is the true address
    assert r.request.headers["X-Velna-Api-Key"] == "test-api-key"
    shown = repr(r.request.headers)
    assert "'X-Velna-Api-Key': '***'" in shown and "'Authorization': '***'" in shown
    assert "test-api-key" not in shown and "Basic" not in shown
    with pytest.raises(TypeError) as refused:
        session.get(url, headers={"X-Velna-Api-Key": 123456789})
    assert "123456789" not in str(refused.value) and "X-Velna-Api-Key" in str(refused.value)


def test_answers_read_like_requests_answers(keyserver, session):
    url = keyserver.url + "v1.0/time/"
    r = session.get(url, headers={**HEADERS, **ids(), "X-Extra": "1"})
    assert repr(r) == "<Response [200]>" and r.ok and r.reason == "OK"
    assert r.headers["content-type"] == r.headers["CONTENT-TYPE"] == "application/json"
    assert "Content-Length" in r.headers and "nope" not in r.headers
    assert r.json() == {"time": r.json()["time"]} and r.json() is not r.json()
    assert r.text == r.content.decode()
    r.raise_for_status()
    assert repr(r.request) == "<PreparedRequest [GET]>"
    assert r.request.url == url and r.request.headers["x-extra"] == "1"
    assert r.request.headers["X-Velna-Api-Key"] == "test-api-key"


def test_bodies_and_credentials(keyserver, session):
    keyserver.script("time", *[{"status": 200, "json": {}}] * 3)
    url = keyserver.url + "v1.0/time/"
    session.post(url, json={"a": [1, 2]}, headers={**HEADERS, **ids()}, auth=(b"us:er", b"pw"))
    session.put(url, data="tëxt", headers={**HEADERS, **ids()})
    session.post(url, data={"f": "a b", "g": ["1", "2"]}, headers={**HEADERS, **ids()})
    first, second, third = keyserver.requests()
    assert first["body"] == '{"a": [1, 2]}' and first["headers"]["content-type"] == "application/json"
    assert first["headers"]["authorization"] == requests.auth._basic_auth_str(b"us:er", b"pw")
    assert second["body"] == "tëxt" and "content-type" not in second["headers"]
    assert third["body"] == "f=a+b&g=1&g=2"
    assert third["headers"]["content-type"] == "application/x-www-form-urlencoded"


@pytest.mark.parametrize("headers, error", [
    ({"X-A": "a\r\nX-B: b"}, ValueError),
    ({"X-A": "a\nb"}, ValueError),
    ({"X-A": "a\x00"}, ValueError),
    ({"Bad Name": "a"}, ValueError),
    ({"X-A": 5}, TypeError),
])
def test_headers_that_would_corrupt_the_request_are_refused_before_sending(
        keyserver, session, headers, error):
    with pytest.raises(error):
        session.get(keyserver.url + "v1.0/time/", headers=headers)
    assert keyserver.requests() == []


@pytest.mark.parametrize("url, error", [
    ("v1.0/time/", http.InvalidURL), ("ftp://127.0.0.1/", http.InvalidURL),
    ("file:///etc/passwd", http.InvalidURL), ("http:///x", http.InvalidURL),
])
def test_addresses_that_are_refused(session, url, error):
    with pytest.raises(error):
        session.get(url)


def test_no_redirect_is_followed(keyserver, session):
    keyserver.script("time", {"status": 302, "json": {}})
    r = session.get(keyserver.url + "v1.0/time/", headers={**HEADERS, **ids()}, auth=("u", "p"))
    assert r.status_code == 302 and len(keyserver.requests()) == 1


def test_a_refused_connection_is_a_connection_error_with_the_request(session):
    url = "http://127.0.0.1:%d/x" % closed_port()
    with pytest.raises(http.ConnectionError) as e:
        session.get(url, headers={"X-A": "b"})
    assert e.value.request.url == url and e.value.request.headers["X-A"] == "b"


def test_case_insensitive_dict():
    d = http.CaseInsensitiveDict({"Content-Type": "a"}, Accept="b")
    d["content-type"] = "c"
    assert list(d) == ["content-type", "Accept"] and len(d) == 2
    assert d["CONTENT-TYPE"] == "c" and d.get("accept") == "b" and d.get("x", 1) == 1
    assert d == {"Content-type": "c", "ACCEPT": "b"} and d != {"accept": "b"}
    assert dict(d.items()) == {"content-type": "c", "Accept": "b"}
    del d["ACCEPT"]
    assert "accept" not in d and 5 not in d
    with pytest.raises(KeyError):
        d["accept"]
    e = d.copy()
    e["x"] = "y"
    assert "x" not in d
    import collections.abc
    assert isinstance(d, collections.abc.MutableMapping)


def test_connecting_gives_up_after_the_connect_time_out(session, unanswered_port):
    session.connect_timeout = 0.3
    assert session.connect_timeout == 0.3
    with pytest.raises(http.ConnectTimeout):
        session.get("http://127.0.0.1:%d/" % unanswered_port)


@pytest.fixture(scope="module")
def tls_keyserver():
    server = KeyServer(tls=True)
    yield server
    server.stop()


def test_tls_certificates_are_verified(tls_keyserver, session):
    with pytest.raises(http.ConnectionError, match="certificate"):
        session.get(tls_keyserver.url + "v1.0/time/", headers={**HEADERS, **ids()})


def test_libcurl_is_mapped_by_the_first_request_not_by_the_import():
    import subprocess
    import sys
    code = r"""
import sys
import velna.providers.server.aws, velna.providers.server.events
import velna.providers.server.http as http
import velna.providers.server.session, velna.providers.server.client

def curl_mapped():
    with open("/proc/self/maps") as maps:
        return any("libcurl" in line for line in maps)

before = curl_mapped()
try:
    http.request("GET", "http://127.0.0.1:%s/x" % sys.argv[1])
except http.ConnectionError:
    pass
print(before, curl_mapped())
"""
    out = subprocess.run([sys.executable, "-c", code, str(closed_port())],
                         capture_output=True, text=True, check=True).stdout
    assert out.split() == ["False", "True"]
