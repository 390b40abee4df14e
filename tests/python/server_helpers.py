"""Users with signing keys, and the process-wide server session pointed at
the test key server, for the tests of the server provider."""
import base64
import datetime
import sys

import pytest

import velna.crypto as crypto
import velna.providers.server as server

session_module = sys.modules["velna.providers.server.session"]
KeyType = session_module.KeyType


class StandInKey:
    """A signing key as a key ring holds it."""

    def __init__(self, index, active=True):
        self.type = KeyType.AUTH
        self.index = index
        self.active = active
        self.private = crypto.p384.generate_private_key()
        self.public = self.private.public_key()

    def public_pem(self):
        return crypto.to_pem_public(self.public)


class StandInUser:
    """What the session reads of a user: id, keys and the text form."""

    def __init__(self, user_id, keys):
        self.id = user_id
        self.keys = {KeyType.AUTH: {k.index: k for k in keys}, KeyType.DERIVATION: {}}

    def __str__(self):
        return "<User {}>".format(self.id)


def make_user(keyserver, *specs, user_id="4b2c34e8-2d47-4a0c-9d4a-7f7c1f7f2b10"):
    """A user whose keys follow |specs|: "accepted", "rejected" (registered
    but refused by the server), "inactive" or "unknown" (never registered)."""
    keys = []
    for index, spec in enumerate(specs):
        key = StandInKey(index, active=spec != "inactive")
        if spec in ("accepted", "rejected", "inactive"):
            keyserver.add_key(user_id, index, key.public_pem(), rejected=spec == "rejected")
        keys.append(key)
    return StandInUser(user_id, keys)


def decode_credentials(headers):
    """(token, time text, password bytes, user name bytes) of a Basic header."""
    raw = base64.b64decode(headers["authorization"][len("Basic "):])
    user_name, _, password = raw.rpartition(b":")
    token, _, stamp = user_name.partition(b",")
    return token.decode(), base64.b64decode(stamp).decode(), password, user_name


def utcnow():
    return datetime.datetime.now(datetime.timezone.utc)


@pytest.fixture
def velna_server(keyserver):
    """The process-wide session and client, initialised against the test key
    server; their state is put back afterwards."""
    session, client = server.session, server.client
    saved = dict(vars(session))
    saved_timeouts = (session.connect_timeout, session.stall_timeout)
    server.initialize(keyserver.api_key, keyserver.url, "velna-tests")
    yield keyserver
    vars(session).clear()
    vars(session).update(saved)
    session.connect_timeout, session.stall_timeout = saved_timeouts
    client.URL = None


@pytest.fixture
def sleeps(monkeypatch):
    """The waits of the retry policy, recorded instead of slept."""
    import time

    waits = []
    monkeypatch.setattr(time, "sleep", waits.append)
    return waits
