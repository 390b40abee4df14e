"""Users with key rings, and the process-wide server session pointed at
the test key server, for the tests of the server provider."""
import base64
import datetime
import sys

import pytest

import velna.crypto as crypto
import velna.providers.server as server

from keyring_users import TestUser
from velna.crypto.keys import KeyType

session_module = sys.modules["velna.providers.server.session"]


class ServerUser(TestUser):
    """A test user as the session shows it in its messages."""

    __test__ = False

    def __str__(self):
        return "<User {}>".format(self.id)


def make_user(keyserver, *specs):
    """A user whose signing keys 0, 1, ... follow |specs|: "accepted",
    "rejected" (registered, but the server refuses its logins), "inactive" or
    "unknown" (never registered)."""
    inactive = {(KeyType.AUTH, i) for i, spec in enumerate(specs) if spec == "inactive"}
    user = ServerUser(signing=len(specs), inactive=inactive)
    for index, spec in enumerate(specs):
        if spec != "unknown":
            public = crypto.to_pem_public(user.keys[KeyType.AUTH][index].public)
            keyserver.add_key(user.id, index, public, rejected=spec == "rejected")
    return user


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
    saved_limits = (session.connect_timeout, session.stall_timeout, session.total_timeout,
                    session.max_answer_size)
    server.initialize(keyserver.api_key, keyserver.url, "velna-tests")
    yield keyserver
    vars(session).clear()
    vars(session).update(saved)
    (session.connect_timeout, session.stall_timeout, session.total_timeout,
     session.max_answer_size) = saved_limits
    client.URL = None


@pytest.fixture
def sleeps(monkeypatch):
    """The waits of the retry policy, recorded instead of slept."""
    import time

    waits = []
    monkeypatch.setattr(time, "sleep", waits.append)
    return waits
