"""The REST client against the test key server: addresses, status errors
with request ids, and the retry policy with its recorded waits."""
import logging
import time

import pytest

import velna.providers.server as server
import velna.providers.server.http as http
from keyserver_fixture import closed_port, unanswered_port  # noqa: F401
from server_helpers import make_user, sleeps, velna_server  # noqa: F401

client = server.client

RETRIED = [(429, "HttpTooManyRequestsError", "Try again later."),
           (500, "HttpInternalServerError", "Internal server error."),
           (502, "HttpBadGatewayError", "Bad gateway."),
           (503, "HttpServiceUnavailableError", "Service unavailable.")]


def retry_records(caplog):
    return [r for r in caplog.records
            if r.name == "velna.providers.server.client" and r.getMessage() == "Exception making request."]


@pytest.fixture
def logged_in(velna_server):
    server.session.authenticate(client, make_user(velna_server, "accepted"))
    return velna_server


def test_error_classes_and_status_map():
    assert list(client._retry_exceptions) == [s for s, _, _ in RETRIED]
    for status, name, doc in RETRIED:
        cls = getattr(client, name)
        assert client._retry_exceptions[status] is cls
        assert cls.__bases__ == (Exception,) and cls.__doc__ == doc
        assert client._retry_on_exception(cls()) is True
        assert client._retry_on_exception(type("Derived", (cls,), {})()) is True
    for other in (http.HTTPError("x"), http.ConnectionError("x"), http.Timeout("x"), ValueError()):
        assert client._retry_on_exception(other) is False
    assert client.API_VERSION == "v1.0"


@pytest.mark.parametrize("status, name, doc", RETRIED)
def test_temporary_statuses_are_retried_ten_times_with_growing_waits(
        logged_in, sleeps, caplog, status, name, doc):
    caplog.set_level(logging.DEBUG)
    logged_in.script("echo", *[status] * 10)
    with pytest.raises(getattr(client, name)) as e:
        client.get("echo")
    assert str(e.value) == "" and e.value.args == ()
    assert sleeps == [2.0, 4.0, 8.0] + [10.0] * 6
    echoes = logged_in.requests("echo")
    assert len(echoes) == 10 and all(r["verdict"] == "ok" for r in echoes)
    assert len({r["headers"]["x-request-id"] for r in echoes}) == 10
    assert len(retry_records(caplog)) == 10
    assert retry_records(caplog)[0].exc_info[0] is getattr(client, name)


def test_a_temporary_status_then_success_returns_the_answer(logged_in, sleeps):
    logged_in.script("echo", 503)
    assert client.post("echo", json={"a": 1}).json()["body"] == '{"a": 1}'
    assert sleeps == [2.0]
    assert len(logged_in.requests("echo")) == 2


def test_failed_attempts_are_logged_through_the_module_logger_of_the_moment(
        logged_in, sleeps, caplog, monkeypatch):
    caplog.set_level(logging.DEBUG)
    monkeypatch.setattr(client, "log", logging.getLogger("velna.tests.client"))
    logged_in.script("echo", 500)
    client.get("echo")
    (record,) = [r for r in caplog.records if r.getMessage() == "Exception making request."]
    assert record.name == "velna.tests.client" and record.levelno == logging.DEBUG
    assert record.exc_info[0] is client.HttpInternalServerError


def test_the_retry_policy_keeps_the_retry_test_it_was_made_with(logged_in, sleeps, monkeypatch):
    # Only the verbs look _make_request up at each call; the policy itself
    # holds the module's own retry test, so rebinding the name changes nothing.
    monkeypatch.setattr(client, "_retry_on_exception", lambda exception: False)
    logged_in.script("echo", 503)
    assert client.get("echo").status_code == 200
    assert sleeps == [2.0]
    assert len(logged_in.requests("echo")) == 2


@pytest.mark.parametrize("status, text", [(404, "404 Client Error: Not Found"),
                                          (504, "504 Server Error: Gateway Timeout"),
                                          (401, "401 Client Error: Unauthorized")])
def test_other_error_statuses_raise_at_once_with_the_request_id(
        logged_in, sleeps, caplog, status, text):
    caplog.set_level(logging.DEBUG)
    logged_in.script("echo", status)
    with pytest.raises(http.HTTPError) as e:
        client.get("echo", params={"a": "b"})
    rid = logged_in.requests("echo")[0]["headers"]["x-request-id"]
    url = logged_in.url + "v1.0/echo/?a=b"
    assert e.value.args == ("{} for url: {}  Request ID: {}".format(text, url, rid),)
    assert e.value.response.status_code == status
    assert e.value.request.headers["X-Request-Id"] == rid
    assert sleeps == [] and len(retry_records(caplog)) == 1


def test_a_refused_connection_is_one_attempt(velna_server, sleeps, caplog):
    caplog.set_level(logging.DEBUG)
    client.URL = "http://127.0.0.1:%d/" % closed_port()
    with pytest.raises(http.ConnectionError):
        client.get("time", auth=False)
    assert sleeps == [] and len(retry_records(caplog)) == 1


def test_a_stalled_answer_times_out_and_is_not_retried(logged_in, sleeps):
    server.session.stall_timeout = 1
    logged_in.script("echo", {"status": 200, "json": {}, "delay": 3})
    with pytest.raises(http.Timeout) as e:
        client.get("echo")
    assert not isinstance(e.value, http.ConnectTimeout)
    assert sleeps == [] and len(logged_in.requests("echo")) == 1


def test_a_request_that_lasts_too_long_in_all_times_out_and_is_not_retried(logged_in, sleeps):
    server.session.total_timeout = 1
    logged_in.script("echo", {"status": 200, "json": {}, "delay": 3})
    started = time.monotonic()
    with pytest.raises(http.Timeout):
        client.get("echo")
    assert time.monotonic() - started < 2.5
    assert sleeps == [] and len(logged_in.requests("echo")) == 1


def test_an_answer_over_the_sessions_limit_is_a_request_error_and_not_retried(logged_in, sleeps):
    server.session.max_answer_size = 1000
    logged_in.script("echo", {"status": 200, "json": {"pad": "x" * 1000}})
    with pytest.raises(http.RequestException, match="more than the limit of 1000 bytes") as e:
        client.get("echo")
    assert not isinstance(e.value, http.HTTPError)
    assert sleeps == [] and len(logged_in.requests("echo")) == 1
    server.session.max_answer_size = 2000
    logged_in.script("echo", {"status": 200, "json": {"pad": "x" * 1000}})
    assert client.get("echo").json() == {"pad": "x" * 1000}


def test_a_connect_time_out_is_one_attempt(velna_server, sleeps, unanswered_port):
    server.session.connect_timeout = 0.3
    client.URL = "http://127.0.0.1:%d/" % unanswered_port
    with pytest.raises(http.ConnectTimeout):
        client.get("time", auth=False)
    assert sleeps == []


def test_an_address_without_url_is_refused_at_once(velna_server, sleeps):
    client.URL = None
    with pytest.raises(http.InvalidURL, match="No scheme supplied") as e:
        client.get("time", auth=False)
    assert isinstance(e.value, ValueError) and sleeps == []
    assert velna_server.requests() == []


@pytest.mark.parametrize("status, body", [(201, None), (204, None), (302, None), (200, {"a": 1})])
def test_answers_below_400_are_returned(logged_in, status, body):
    logged_in.script("echo", {"status": status, "json": body})
    response = client.put("echo", data=b"x")
    assert response.status_code == status and response.ok
    assert response.content == (b"" if body is None else b'{"a": 1}')


def test_a_200_answer_without_a_json_body_fails(logged_in):
    logged_in.script("echo", {"status": 200, "json": None})
    with pytest.raises(ValueError):
        client.get("echo")
    assert len(logged_in.requests("echo")) == 1


@pytest.mark.parametrize("base, path, seen", [
    ("", "time", "/v1.0/time/"),
    ("", "/events", "/v1.0/events/"),
    ("", "login/", "/v1.0/login/"),
    ("", "/time/", "/v1.0/time/"),
    ("", "", "/v1.0/"),
    ("api/", "time", "/api/v1.0/time/"),
    ("api", "time", "/v1.0/time/"),
    ("a/b/", "events", "/a/b/v1.0/events/"),
    ("api/?q=1#frag", "time", "/api/v1.0/time/"),
])
def test_addresses_join_the_base_the_version_and_the_path(velna_server, base, path, seen):
    client.URL = velna_server.url + base
    try:
        client.get(path, auth=False)
    except http.HTTPError:
        pass  # routes the server does not know
    (request,) = velna_server.requests()
    assert request["path"] == seen and request["query"] == {}


def test_verbs_send_their_method_query_and_body(logged_in):
    echo = client.get("echo", params={"b": ["1", None, "2"], "a": "x y+z", "n": None}).json()
    assert echo["method"] == "GET" and echo["query"] == {"b": ["1", "2"], "a": ["x y+z"]}
    assert logged_in.requests("echo")[0]["headers"].get("content-length") is None
    echo = client.post("echo", json={"k": [1, "é"]}).json()
    assert (echo["method"], echo["body"], echo["contentType"]) == (
        "POST", '{"k": [1, "\\u00e9"]}', "application/json")
    echo = client.put("echo", data=b"\x00raw").json()
    assert (echo["method"], echo["body"], echo["contentType"]) == ("PUT", "\x00raw", None)
    echo = client.delete("echo").json()
    assert echo["method"] == "DELETE"
    assert all(r["verdict"] == "ok" for r in logged_in.requests())
