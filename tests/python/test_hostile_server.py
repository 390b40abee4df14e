"""The HTTP layer's sessions and object storage against a server that lies
about its lengths, never ends or drips: scripted_server.py on 127.0.0.1.
Every such answer ends in one of the HTTP layer's request errors, naming the
address, within its bound in time and in memory (measured in a child)."""
import time

import pytest

from conftest import grown_memory

import velna.providers.server.aws as aws
import velna.providers.server.http as http

MiB = 1 << 20


@pytest.fixture
def session():
    with http.Session() as s:
        yield s


@pytest.fixture(params=["storage", "session"])
def get(request, session):
    """A GET of object storage or of an HTTP session, returning the answer."""
    if request.param == "storage":
        return lambda url: aws.get(url)
    return lambda url: session.get(url)


# (script, the body taken, or the request error and words of its message)
LENGTHS = [
    ("chunked:100000:100", (http.ConnectionError, "ended after 100 of the 100000 bytes")),
    ("chunked:100:5000", (http.RequestException, "longer than the 100 bytes it announced")),
    ("chunked:5000:5000", 5000),
    ("chunked:-:5000", 5000),
    ("length:18446744073709551617:100", (http.RequestException, "is not a length: '18446744073709551617'")),
    ("length:12abc:12", (http.RequestException, "is not a length: '12abc'")),
    ("length:5%2C%206:5", (http.RequestException, "is not a length: '5, 6'")),
    ("length:abc:3", (http.RequestException, "Content-Length")),
    ("length:-1:3", (http.RequestException, "Content-Length")),
    ("length:100000000000000:100", (http.RequestException, "announces 100000000000000 bytes, more than")),
    ("length:5%2C%205:5", 5),
    ("200:0", 0),
]


@pytest.mark.parametrize("script, outcome", LENGTHS)
def test_an_answer_is_exactly_the_bytes_it_announces(scripted, get, script, outcome):
    base, seen = scripted
    url = base + "/s/length/" + script
    if isinstance(outcome, int):
        # never memory that was only reserved: exactly the bytes sent
        assert get(url).content == b"x" * outcome
    else:
        error, words = outcome
        with pytest.raises(error) as e:
            get(url)
        assert words in str(e.value) and str(e.value).endswith("(GET %s)" % url)
    assert len(seen()) == 1  # never retried


def test_time_outs_and_limits_of_sessions(monkeypatch):
    assert (http.TOTAL_TIMEOUT, http.MAX_ANSWER_SIZE, aws.TOTAL_TIMEOUT) == (300.0, 64 * MiB, 3600.0)
    with http.Session() as s:
        assert (s.connect_timeout, s.stall_timeout, s.total_timeout, s.max_answer_size) == (
            10.0, 30.0, 300.0, 64 * MiB)
        s.total_timeout, s.max_answer_size, s.stall_timeout = 2.5, 1000, 2.5
        assert (s.total_timeout, s.max_answer_size, s.stall_timeout) == (2.5, 1000, 3.0)
        s.max_answer_size = 2 ** 70  # no limit to speak of
        assert s.max_answer_size == 2 ** 64 - 1
        for name, value, error in [("total_timeout", 0, ValueError), ("total_timeout", float("nan"), ValueError),
                                   ("max_answer_size", 0, ValueError), ("max_answer_size", -5, ValueError),
                                   ("max_answer_size", 1.5, TypeError)]:
            with pytest.raises(error):
                setattr(s, name, value)
        assert (s.total_timeout, s.max_answer_size) == (2.5, 2 ** 64 - 1)
    # what a new session starts with
    for name, value in [("CONNECT_TIMEOUT", 4), ("STALL_TIMEOUT", 7), ("TOTAL_TIMEOUT", 60),
                        ("MAX_ANSWER_SIZE", 5000)]:
        monkeypatch.setattr(http, name, value)
    with http.Session() as s:
        assert (s.connect_timeout, s.stall_timeout, s.total_timeout, s.max_answer_size) == (4.0, 7.0, 60.0, 5000)
    monkeypatch.setattr(http, "MAX_ANSWER_SIZE", 0)
    with pytest.raises(ValueError, match="MAX_ANSWER_SIZE must be a positive integer"):
        http.Session()


@pytest.mark.parametrize("script", ["length:5000:5000", "chunked:-:5000", "endless"])
def test_a_session_reads_no_answer_over_its_limit(scripted, session, script):
    base, seen = scripted
    session.max_answer_size = 4096
    started = time.monotonic()
    with pytest.raises(http.RequestException, match="limit of 4096 bytes"):
        session.get(base + "/s/big/" + script)
    assert time.monotonic() - started < 5
    session.max_answer_size = 5000
    if script != "endless":
        assert len(session.get(base + "/s/big/" + script).content) == 5000


def test_a_drip_of_two_bytes_a_second_ends_at_the_whole_request_time_out(scripted, session, monkeypatch):
    # Two bytes a second never stall, and would last 50 s.
    base, seen = scripted
    monkeypatch.setattr(aws, "TOTAL_TIMEOUT", 1.5)
    session.total_timeout = 1.5
    for call in (lambda url: aws.get(url), lambda url: session.get(url)):
        started = time.monotonic()
        with pytest.raises(http.Timeout) as e:
            call(base + "/s/drip/drip:100")
        assert 1.4 < time.monotonic() - started < 5
        assert not isinstance(e.value, http.ConnectTimeout)
    assert len(seen()) == 2


@pytest.mark.parametrize("value", [0, -1, float("nan")])
def test_the_whole_transfer_time_out_of_storage_is_positive_seconds(scripted, monkeypatch, value):
    base, seen = scripted
    monkeypatch.setattr(aws, "TOTAL_TIMEOUT", value)
    with pytest.raises(ValueError, match="TOTAL_TIMEOUT must be a positive number of seconds"):
        aws.get(base + "/s/x/200")
    assert seen() == []


# ---- memory, measured in a child ----------------------------------------------

STORAGE = "import velna.providers.server.aws as aws\nimport velna.providers.server.http as http\n"


def storage_setup(base):
    # As in a program that has sent a request before: libcurl, which the
    # first transfer opens, is not part of what the measured one holds.
    return STORAGE + "aws.get(%r)\n" % (base + "/s/warm/object:16")


@pytest.mark.parametrize("announced", [False, True])
def test_a_storage_get_holds_its_body_once(scripted_server, announced):
    size = 32 * MiB
    url = "%s/s/once/chunked:%s:%d" % (scripted_server, size if announced else "-", size)
    length, grown = grown_memory(storage_setup(scripted_server),
                                 "result = len(aws.get(%r).content)" % url)
    assert length == size
    # the body, once, and libcurl's buffer: not a second copy of the body
    assert grown < 1.1 * size + 12 * MiB, grown / size


@pytest.mark.parametrize("kind, script", [
    ("storage", "length:100000000000000:100"),
    ("storage", "chunked:%d:100" % (512 * MiB)),
    ("session", "endless"),
    ("session", "length:100000000000000:100"),
])
def test_refused_answers_hold_no_memory_to_speak_of(scripted_server, kind, script):
    url = "%s/s/refused/%s" % (scripted_server, script)
    call = "aws.get(%r)" % url if kind == "storage" else \
        "s = http.Session()\n    s.max_answer_size = 8 << 20\n    s.get(%r)" % url
    code = "try:\n    %s\n    result = 'taken'\nexcept http.RequestException as e:\n    result = str(e)" % call
    result, grown = grown_memory(storage_setup(scripted_server), code)
    assert result.endswith("(GET %s)" % url)
    assert grown < 32 * MiB
