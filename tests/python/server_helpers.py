"""Users with key rings, and the process-wide server session pointed at
the test key server, for the tests of the server provider."""
import base64
import datetime
import sys
import types

import pytest

import velna.crypto as crypto
import velna.providers.server as server

from velna.crypto.keys import KeyRing, KeyType

session_module = sys.modules["velna.providers.server.session"]


class StandInUser:
    """What the session reads of a user: its id, its key ring and its text
    form."""

    def __init__(self, user_id, keys):
        self.id = user_id
        self.keys = keys

    def __str__(self):
        return "<User {}>".format(self.id)


def make_user(keyserver, *specs, user_id="4b2c34e8-2d47-4a0c-9d4a-7f7c1f7f2b10"):
    """A user whose signing keys 0, 1, ... follow |specs|: "accepted",
    "rejected" (registered, but the server refuses its logins), "inactive" or
    "unknown" (never registered). The key ring is read from a decrypted key
    file's plaintext."""
    def record(index, active):
        pem = crypto.to_pem_private(crypto.p384.generate_private_key()).decode()
        return {"active": active, "index": index, "isPublic": False, "key": pem}

    data = {"userId": str(user_id),
            "signingKeys": {str(i): record(i, spec != "inactive") for i, spec in enumerate(specs)},
            "derivationKeys": {"0": record(0, True)}}
    ring = KeyRing(lockbox=types.SimpleNamespace(encrypted=False, data=data))
    for index, spec in enumerate(specs):
        if spec != "unknown":
            public = crypto.to_pem_public(ring[KeyType.AUTH][index].public)
            keyserver.add_key(user_id, index, public, rejected=spec == "rejected")
    return StandInUser(user_id, ring)


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
