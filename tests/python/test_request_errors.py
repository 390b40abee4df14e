"""The HTTP layer's sessions and object storage raise one family of request
errors: the same failure of a real transfer gives the very same class
through either, and the HTTP layer's error carries the request it sent."""
import pytest

import velna.providers.server.aws as aws
import velna.providers.server.http as http
from keyserver_fixture import closed_port, unanswered_port  # noqa: F401 (fixture)


def through_session(url, timeouts):
    session = http.Session()
    session.connect_timeout = timeouts.get("connect", session.connect_timeout)
    session.total_timeout = timeouts.get("total", session.total_timeout)
    return session.get(url)


def through_storage(url, timeouts, monkeypatch):
    monkeypatch.setattr(aws, "CONNECT_TIMEOUT", timeouts.get("connect", aws.CONNECT_TIMEOUT))
    monkeypatch.setattr(aws, "TOTAL_TIMEOUT", timeouts.get("total", aws.TOTAL_TIMEOUT))
    return aws.get(url)


# (case, address given the fixtures, time-outs, the class raised, whether a
#  session sends anything: an address that is not http is refused first)
CASES = [
    ("refused", lambda f: "http://127.0.0.1:%d/x" % closed_port(), {}, http.ConnectionError, True),
    ("not http", lambda f: "ftp://127.0.0.1/x", {}, http.InvalidURL, False),
    ("no connection in time", lambda f: "http://127.0.0.1:%d/x" % f.unanswered_port,
     {"connect": 0.3}, http.ConnectTimeout, True),
    ("no answer in time", lambda f: f.scripted + "/s/silent/stall", {"total": 0.3}, http.Timeout,
     True),
]


@pytest.fixture
def places(unanswered_port, scripted):
    return type("Places", (), {"unanswered_port": unanswered_port, "scripted": scripted[0]})


@pytest.mark.parametrize("case, address, timeouts, expected, sends", CASES,
                         ids=[c[0] for c in CASES])
def test_one_failure_is_one_class_through_sessions_and_storage(places, monkeypatch, case, address,
                                                                timeouts, expected, sends):
    url = address(places)
    with pytest.raises(http.RequestException) as by_session:
        through_session(url, timeouts)
    with pytest.raises(http.RequestException) as by_storage:
        through_storage(url, timeouts, monkeypatch)
    assert type(by_session.value) is expected and type(by_storage.value) is expected
    sent = by_session.value.request
    if sends:
        assert isinstance(sent, http.PreparedRequest) and sent.method == "GET" and sent.url == url
        assert str(by_session.value).endswith("(GET %s)" % url)
    else:
        assert sent is None and "request" in vars(by_session.value)
    assert by_storage.value.request is None and "request" not in vars(by_storage.value)
    assert by_session.value.response is None and by_storage.value.response is None
