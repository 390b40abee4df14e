"""The authenticated session against the test key server: login, signed
requests, key rotation, renewal, logout, and what never leaves or is
logged."""
import base64
import datetime
import logging
import uuid

import pytest
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec

import velna.crypto as crypto
import velna.providers.server as server
from server_helpers import (decode_credentials, make_user, session_module, sleeps,  # noqa: F401
                            utcnow, velna_server)

HTTPError = __import__("velna.providers.server.http", fromlist=["x"]).HTTPError


def oracle_verify(key, signature, data):
    public = serialization.load_pem_public_key(crypto.to_pem_public(key.public))
    public.verify(signature, data, ec.ECDSA(hashes.SHA384()))


def test_login_with_the_server_clock_an_hour_ahead_then_signed_requests(velna_server):
    velna_server.config(shift=3600)
    user = make_user(velna_server, "accepted")
    server.session.authenticate(server.client, user)

    assert server.session.authenticated()
    assert server.session.user is user and server.session.key is user.keys["signingKeys"][0]
    offset = server.session.time_offset.total_seconds()
    assert -3605 < offset < -3595
    assert server.session.expires_at > utcnow() + datetime.timedelta(hours=1)

    for _ in range(2):
        assert server.client.get("echo").json()["userId"] == str(user.id)
    seen = velna_server.requests()
    assert [r["route"] for r in seen] == ["time", "login", "echo", "echo"]
    assert all(r["verdict"] == "ok" for r in seen)

    time_request, login_request, first, second = seen
    for r in (time_request, login_request):
        assert "authorization" not in r["headers"]
        assert r["headers"]["x-velna-api-key"] == velna_server.api_key
        assert r["headers"]["x-velna-app-name"] == "velna-tests"
    login = {k: v[0] for k, v in login_request["query"].items()}
    assert list(login) == ["userId", "authKeyIndex", "challenge", "verification"]
    assert login["userId"] == str(user.id) and login["authKeyIndex"] == "0"
    oracle_verify(user.keys["signingKeys"][0], base64.b64decode(login["verification"]),
                  login["challenge"].encode())

    ids = set()
    for r in (first, second):
        token, stamp, password, user_name = decode_credentials(r["headers"])
        assert token == server.session.token
        estimated = datetime.datetime.fromisoformat(stamp)
        assert stamp.endswith("+00:00")
        assert abs((estimated - velna_server.now()).total_seconds()) < 5
        rid = r["headers"]["x-request-id"]
        assert str(uuid.UUID(rid)) == rid and uuid.UUID(rid).version == 4
        ids.add(rid)
        oracle_verify(user.keys["signingKeys"][0], base64.b64decode(password, validate=True),
                      user_name + rid.encode())
    assert len(ids) == 2


def test_login_rotates_past_inactive_and_rejected_keys(velna_server):
    user = make_user(velna_server, "inactive", "rejected", "accepted", "accepted")
    server.session.authenticate(server.client, user)
    assert server.session.key is user.keys["signingKeys"][2]
    logins = velna_server.requests("login")
    assert [r["query"]["authKeyIndex"] for r in logins] == [["1"], ["2"]]
    assert len(velna_server.requests("time")) == 2
    server.client.get("echo")
    assert velna_server.requests()[-1]["verdict"] == "ok"


@pytest.mark.parametrize("specs", [("inactive", "inactive"), ()])
def test_login_without_an_active_key_sends_nothing(velna_server, specs, log_lines):
    user = make_user(velna_server, *specs)
    with pytest.raises(RuntimeError) as e:
        server.session.authenticate(server.client, user)
    assert str(e.value) == "Unable to authenticate <User {}>".format(user.id)
    assert (logging.WARNING, str(e.value)) in log_lines("velna.providers.server.session")
    assert velna_server.requests() == []
    assert server.session.user is None


def test_login_that_no_key_wins_fails_and_keeps_the_earlier_login(velna_server):
    first = make_user(velna_server, "accepted")
    server.session.authenticate(server.client, first)
    token = server.session.token
    other = make_user(velna_server, "rejected", "unknown")
    with pytest.raises(RuntimeError, match="Unable to authenticate <User {}>".format(other.id)):
        server.session.authenticate(server.client, other)
    assert len(velna_server.requests("login")) == 3
    assert (server.session.user, server.session.token) == (first, token)


def test_an_error_status_on_time_ends_the_login_at_once(velna_server):
    user = make_user(velna_server, "accepted", "accepted")
    velna_server.script("time", 404)
    with pytest.raises(HTTPError, match="^404 Client Error"):
        server.session.authenticate(server.client, user)
    assert [r["route"] for r in velna_server.requests()] == ["time"]


@pytest.mark.parametrize("answer, error", [
    ({"token": "abc"}, KeyError),
    ({"token": "abc", "expiration": "not a time"}, ValueError),
])
def test_a_login_answer_with_an_unreadable_expiry_changes_nothing(velna_server, answer, error):
    user = make_user(velna_server, "accepted")
    server.session.authenticate(server.client, user)
    before = {k: getattr(server.session, k) for k in ("token", "expires_at", "user", "key", "time_offset")}
    velna_server.script("login", {"status": 200, "json": answer})
    with pytest.raises(error):
        server.session.authenticate(server.client, user)
    assert {k: getattr(server.session, k) for k in before} == before


def test_expired_logins_renew_before_the_request_is_sent(velna_server):
    velna_server.config(shift=3600, token_lifetime=1800)
    user = make_user(velna_server, "accepted")
    server.session.authenticate(server.client, user)
    cases = [
        # The token's expiry by this machine's clock.
        lambda: utcnow(),
        # Still ahead by this machine's clock (an hour behind the server's),
        # but past by the server's as the login measured it.
        lambda: utcnow() - server.session.time_offset - datetime.timedelta(seconds=1),
    ]
    for expiry in cases:
        server.session.expires_at = expiry()
        assert not server.session.authenticated()
        before = len(velna_server.requests())
        server.client.get("echo")
        routes = [r["route"] for r in velna_server.requests()[before:]]
        assert routes == ["time", "login", "echo"]
        assert server.session.authenticated()
    assert all(r["verdict"] == "ok" for r in velna_server.requests())


def test_authenticate_without_a_user_logs_the_same_user_in_again(velna_server):
    user = make_user(velna_server, "accepted")
    server.session.authenticate(server.client, user)
    token = server.session.token
    server.session.authenticate(server.client)
    assert server.session.user is user and server.session.token != token


def test_after_logout_credentialed_requests_fail_and_send_nothing(velna_server, log_lines):
    user = make_user(velna_server, "accepted")
    server.session.authenticate(server.client, user)
    server.session.logout()
    assert not server.session.authenticated()
    assert server.session.client is server.client
    assert server.session.api_key == velna_server.api_key
    sent = len(velna_server.requests())
    message = "Need to pass a user if authenticating for the first time."
    with pytest.raises(ValueError, match=message):
        server.client.get("echo")
    assert len(velna_server.requests()) == sent
    assert (logging.WARNING, message) in log_lines("velna.providers.server.session")
    assert server.client.get("time", auth=False).status_code == 200


@pytest.mark.parametrize("field, value", [
    ("api_key", "key\r\nX-Injected: 1"), ("api_key", "key\x00"), ("app_name", "app\nname"),
])
def test_header_values_that_would_split_the_request_are_refused_before_sending(
        velna_server, field, value):
    user = make_user(velna_server, "accepted")
    server.session.authenticate(server.client, user)
    sent = len(velna_server.requests())
    server.session.expires_at = utcnow()  # a renewal would be due as well
    setattr(server.session, field, value)
    with pytest.raises(ValueError):
        server.client.get("echo")
    assert len(velna_server.requests()) == sent


def test_headers_of_the_session_and_what_callers_may_not_add(velna_server):
    session = server.session
    session.initialize(velna_server.api_key, velna_server.url, "")
    session.request("get", velna_server.url + "v1.0/time/", auth=False)
    headers = velna_server.requests()[-1]["headers"]
    assert "x-velna-app-name" not in headers and "authorization" not in headers
    with pytest.raises(TypeError):
        session.request("get", velna_server.url + "v1.0/time/", auth=False, headers={"X-A": "b"})
    assert len(velna_server.requests()) == 1


def test_a_fresh_session_refuses_requests_before_initialize(velna_server):
    fresh = session_module.VelnaSession()
    assert (fresh.user, fresh.api_key, fresh.token, fresh.key, fresh.time_offset, fresh.client) == (None,) * 6
    with pytest.raises(AttributeError, match="app_name"):
        fresh.request("get", velna_server.url + "v1.0/time/", auth=False)
    assert velna_server.requests() == []


def test_initialize_checks_that_the_address_splits(velna_server, log_lines):
    fresh = session_module.VelnaSession()
    fresh.initialize("key", "plain words", app_name="app")
    with pytest.raises(ValueError, match="^server_url is not a valid url.$"):
        fresh.initialize("other", "http://[::1", "app2")
    assert (fresh.api_key, fresh.app_name) == ("other", "app2")
    assert (logging.WARNING, "server_url is not a valid url.") in log_lines(
        "velna.providers.server.session")


def test_log_lines_never_hold_the_api_key_token_or_signatures(velna_server, caplog):
    caplog.set_level(logging.DEBUG)
    user = make_user(velna_server, "accepted")
    server.session.authenticate(server.client, user)
    velna_server.script("echo", {"status": 200, "json": {"done": True}})
    server.client.post("echo", json={"password": "hunter2", "name": "n"})
    lines = "\n".join(r.getMessage() for r in caplog.records)
    assert "GET " + velna_server.url + "v1.0/time/" in lines
    login = {k: v[0] for k, v in velna_server.requests("login")[0]["query"].items()}
    _, _, password, user_name = decode_credentials(velna_server.requests("echo")[0]["headers"])
    for secret in (velna_server.api_key, server.session.token, login["verification"],
                   password.decode(), "hunter2"):
        assert secret not in lines


def test_request_ids_come_from_uuid4_at_call_time(velna_server, monkeypatch):
    fixed = uuid.UUID("12345678-1234-4678-9234-567812345678")
    monkeypatch.setattr(uuid, "uuid4", lambda: fixed)
    server.client.get("time", auth=False)
    assert velna_server.requests()[-1]["headers"]["x-request-id"] == str(fixed)
    with pytest.raises(HTTPError, match="401 Client Error"):
        server.client.get("time", auth=False)  # the server refuses a repeated id


def test_an_api_key_that_is_no_text_is_refused_without_being_shown(velna_server):
    server.session.initialize(987654321, velna_server.url, "app")
    with pytest.raises(TypeError, match=r"^Header part \('\*\*\*'\) from \('X-Velna-Api-Key', "):
        server.client.get("time", auth=False)
    assert velna_server.requests() == []


def test_a_user_without_a_key_ring_cannot_log_in(velna_server):
    user = make_user(velna_server, "accepted")
    user.keys = None
    with pytest.raises(TypeError):
        server.session.authenticate(server.client, user)
    assert velna_server.requests() == [] and server.session.client is server.client


def test_each_json_call_of_an_answer_gives_a_value_of_its_own(velna_server):
    # The session reads every 200 answer's body; what callers decode must
    # not be shared with it, with each other, or outlive a new body.
    user = make_user(velna_server, "accepted")
    server.session.authenticate(server.client, user)
    response = server.client.get("echo")
    first = response.json()
    first["userId"] = "changed"
    second = response.json()
    assert second["userId"] == str(user.id) and second is not first

    replaced = server.client.get("echo")
    replaced.content = b'{"replaced": true}'
    assert replaced.json() == {"replaced": True}
    recoded = server.client.get("echo")
    recoded.encoding = "utf-16"
    with pytest.raises(ValueError):
        recoded.json()
