"""Users with key rings, and the process-wide server session pointed at
the test key server, for the tests of the server provider."""
import base64
import datetime
import json
import logging
import sys
import traceback
import urllib.parse

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


class Shown:
    """Every text the package shows while it runs: each log record of any
    logger as a handler formats it (the message, its arguments, the attached
    traceback), and the text forms of the exceptions handed to ``add``, with
    their causes and contexts."""

    def __init__(self):
        self.texts = []
        shown, formatter = self, logging.Formatter("%(name)s %(levelname)s %(message)s")

        class Handler(logging.Handler):
            def emit(self, record):
                shown.texts += [formatter.format(record), repr(record.msg), repr(record.args)]

        self.handler = Handler(logging.DEBUG)

    def add(self, error):
        seen = set()
        while error is not None and id(error) not in seen:
            seen.add(id(error))
            self.texts += [str(error), repr(error), repr(error.args),
                           "".join(traceback.format_exception(type(error), error, error.__traceback__))]
            error = error.__cause__ or error.__context__

    def text(self):
        return "\n".join(self.texts)

    def revealed(self, secrets):
        """Those of |secrets| that were shown, in clear or URL-encoded: none
        when everything was masked."""
        text = self.text()
        forms = {(s, form) for s in secrets if s
                 for form in (s, urllib.parse.quote_plus(s), urllib.parse.quote(s, safe=""))}
        return sorted({s for s, form in forms if form in text})


@pytest.fixture
def shown():
    """Shown, collecting while the logger "velna" and the root logger are at
    DEBUG, so that every debug line and call trace is written."""
    collected = Shown()
    root, velna = logging.getLogger(), logging.getLogger("velna")
    levels = (root.level, velna.level)
    root.setLevel(logging.DEBUG)
    velna.setLevel(logging.DEBUG)
    root.addHandler(collected.handler)
    yield collected
    root.removeHandler(collected.handler)
    root.setLevel(levels[0])
    velna.setLevel(levels[1])


def secrets_seen_by(keyserver):
    """The credentials that reached the key server since its reset: login
    signatures, verifiers (in queries and stored with key files), the API
    key, and the tokens and per-request signatures of Basic credentials."""
    found = {keyserver.api_key}
    for r in keyserver.requests():
        found.update(r["query"].get("verification", []))
        if r["route"] == "lockbox" and r["method"] == "PUT":
            found.update(json.loads(r["body"])["verification"].values())
        if "authorization" in r["headers"]:
            token, _, password, _ = decode_credentials(r["headers"])
            found.update([token, password.decode(), r["headers"]["authorization"],
                          r["headers"]["authorization"].split()[-1]])
    found.discard(None)
    return found
