"""User accounts of the test key server: registration, key files, reminders
and public keys.

The routes are plain functions over an ``Accounts`` store, so the server
(``keyserver.py``) dispatches to them from its own request handler::

    status, body = dispatch(accounts, method, path, query, json_body, user_id)

``path`` is the part after the versioned base without slashes around it
("users/<id>/lockbox"); ``user_id`` is the user whose per-request credentials
the server verified, or None for a request without credentials. The store
keeps what a real server may keep: public keys, the key file's encrypted
bytes, the reminder and a verifier derived from the passphrase; never a
password or a passphrase.
"""
import base64
import hmac
import re
import threading
import uuid


class Accounts:
    def __init__(self):
        self.lock = threading.Lock()
        self.users = {}  # user id text -> record

    def register(self, signing_pem, derivation_pem):
        user_id = str(uuid.uuid4())
        with self.lock:
            self.users[user_id] = {"signing": [signing_pem], "derivation": [derivation_pem],
                                   "keyFile": None, "reminder": None, "verifier": None}
        return user_id

    def signing_key(self, user_id, index):
        """The PEM public signing key of |index| of a user, or None: what the
        login exchange verifies signatures with."""
        record = self.users.get(str(user_id))
        if record is None or not 0 <= index < len(record["signing"]):
            return None
        return record["signing"][index]

    def records(self, user_id):
        record = self.users[user_id]
        out = []
        for kind, name in (("signing", "auth"), ("derivation", "derivation")):
            for index, pem in enumerate(record[kind]):
                out.append({"keyType": name, "pubKey": pem, "index": index, "active": True, "userId": user_id})
        return out


def _known(accounts, user_id):
    return user_id in accounts.users


def _register(accounts, match, query, body, caller):
    if not isinstance(body, dict) or not all(isinstance(body.get(k), str)
                                             for k in ("signingKey", "derivationKey")):
        return 400, {"error": "signingKey and derivationKey are required"}
    return 200, {"userId": accounts.register(body["signingKey"], body["derivationKey"])}


def _put_lockbox(accounts, match, query, body, caller):
    user_id = match.group(1)
    if caller != user_id:
        return 403, {"error": "forbidden"}
    try:
        data = base64.b64decode(body["keyFile"], validate=True)
    except (KeyError, TypeError, ValueError):
        return 400, {"error": "keyFile must be Base64"}
    if not isinstance(body.get("verifier"), str):
        return 400, {"error": "verifier is required"}
    with accounts.lock:
        record = accounts.users[user_id]
        record["keyFile"], record["reminder"], record["verifier"] = data, body.get("reminder"), body["verifier"]
    return 200, {}


def _get_lockbox(accounts, match, query, body, caller):
    record = accounts.users[match.group(1)]
    given = query.get("verifier", "")
    if record["keyFile"] is None or record["verifier"] is None or not hmac.compare_digest(
            given.encode("utf-8"), record["verifier"].encode("utf-8")):
        return 403, {"error": "forbidden"}
    return 200, {"keyFile": base64.b64encode(record["keyFile"]).decode("ascii")}


def _get_reminder(accounts, match, query, body, caller):
    record = accounts.users[match.group(1)]
    if record["keyFile"] is None:
        return 404, {"error": "no key file"}
    return 200, {"reminder": record["reminder"]}


def _get_keys(accounts, match, query, body, caller):
    if caller is None:
        return 401, {"error": "credentials required"}
    return 200, {"keys": accounts.records(match.group(1))}


def _delete(accounts, match, query, body, caller):
    user_id = match.group(1)
    if caller != user_id:
        return 403, {"error": "forbidden"}
    with accounts.lock:
        del accounts.users[user_id]
    return 200, {}


_ID = "([0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12})"

# (method, path pattern, handler, whether the user in the path must exist)
ROUTES = [
    ("POST", re.compile(r"users"), _register, False),
    ("PUT", re.compile(r"users/%s/lockbox" % _ID), _put_lockbox, True),
    ("GET", re.compile(r"users/%s/lockbox" % _ID), _get_lockbox, True),
    ("GET", re.compile(r"users/%s/reminder" % _ID), _get_reminder, True),
    ("GET", re.compile(r"users/%s/keys" % _ID), _get_keys, True),
    ("DELETE", re.compile(r"users/%s" % _ID), _delete, True),
]


def dispatch(accounts, method, path, query, body, caller):
    """(status, JSON body) for a request to one of the account routes, or
    None when no route matches |method| and |path|."""
    for route_method, pattern, handler, needs_user in ROUTES:
        match = pattern.fullmatch(path)
        if route_method != method or match is None:
            continue
        if needs_user and not _known(accounts, match.group(1)):
            return 404, {"error": "no such user"}
        return handler(accounts, match, query, body, caller)
    return None
