"""User accounts of the test key server: registration, key files, reminders
and public keys.

``ROUTES`` has the form of the server's own route table (path below
``v1.0/`` -> (handler, credentialed)); the server adds it to its table.
Handlers take the server's state and the request and answer
(status, JSON body). The server keeps what a real one may keep: public keys,
the key file's encrypted bytes, the reminder, and two verifiers, one derived
from the passphrase and one from the password's hash text; never a password,
a passphrase or a hash of either.

- POST users: {"signingKey", "derivationKey"} (PEM public keys) ->
  {"userId"}; the signing key becomes the user's login key of index 0.
- PUT lockbox (credentialed): {"keyFile" (Base64), "reminder",
  "verification": {"passphrase", "password" (optional)}} for the logged-in
  user: the two verifiers.
- GET lockbox/fetch?userId=&verification=: {"keyFile"} when the verifier is
  one of the two stored.
- GET reminder?userId=: {"reminder"}.
- GET keys?userId= (credentialed): {"keys": [public-key records]}.
- DELETE account (credentialed): removes the logged-in user.
"""
import base64
import binascii
import hmac
import uuid

from cryptography.hazmat.primitives import serialization


def _accounts(state):
    """The accounts of |state|: user id text -> record. An account whose
    login key the server no longer knows (after a reset) is gone."""
    accounts = state.__dict__.setdefault("accounts", {})
    for user_id in [u for u in accounts if (u, 0) not in state.keys]:
        del accounts[user_id]
    return accounts


def _query(request, name):
    values = request.query.get(name)
    return values[-1] if values else None


def _method(request, expected):
    return None if request.method == expected else (405, {"error": "method not allowed"})


def route_users(state, request):
    refused = _method(request, "POST")
    if refused:
        return refused
    body = request.json()
    if not isinstance(body, dict) or not all(isinstance(body.get(k), str) for k in ("signingKey", "derivationKey")):
        return 400, {"error": "signingKey and derivationKey are required"}
    try:
        signing = serialization.load_pem_public_key(body["signingKey"].encode())
        serialization.load_pem_public_key(body["derivationKey"].encode())
    except ValueError:
        return 400, {"error": "not a public key"}
    user_id = str(uuid.uuid4())
    with state.lock:
        accounts = _accounts(state)
        state.keys[(user_id, 0)] = signing
        accounts[user_id] = {"signing": body["signingKey"], "derivation": body["derivationKey"],
                             "keyFile": None, "reminder": None, "verifier": None,
                             "passwordVerifier": None}
    return 200, {"userId": user_id}


def route_lockbox(state, request):
    refused = _method(request, "PUT")
    if refused:
        return refused
    body = request.json()
    try:
        data = base64.b64decode(body["keyFile"], validate=True)
    except (KeyError, TypeError, ValueError, binascii.Error):
        return 400, {"error": "keyFile must be Base64"}
    verification = body.get("verification")
    if not isinstance(verification, dict) or not isinstance(verification.get("passphrase"), str):
        return 400, {"error": "verification of the passphrase is required"}
    if not isinstance(verification.get("password"), (str, type(None))):
        return 400, {"error": "verification of the password must be text"}
    with state.lock:
        record = _accounts(state).get(request.user_id)
        if record is None:
            return 404, {"error": "no such user"}
        record.update(keyFile=data, reminder=body.get("reminder"), verifier=verification["passphrase"],
                      passwordVerifier=verification.get("password"))
    return 200, {}


def _record(state, request):
    with state.lock:
        return _accounts(state).get(_query(request, "userId") or "")


def route_lockbox_fetch(state, request):
    refused = _method(request, "GET")
    if refused:
        return refused
    record = _record(state, request)
    if record is None:
        return 404, {"error": "no such user"}
    given = (_query(request, "verification") or "").encode()
    known = [v.encode() for v in (record["verifier"], record["passwordVerifier"]) if v]
    # Both comparisons run, so the time taken tells nothing of which one matched.
    matched = [hmac.compare_digest(given, v) for v in known]
    if record["keyFile"] is None or not given or not any(matched):
        return 403, {"error": "forbidden"}
    return 200, {"keyFile": base64.b64encode(record["keyFile"]).decode("ascii")}


def route_reminder(state, request):
    refused = _method(request, "GET")
    if refused:
        return refused
    record = _record(state, request)
    if record is None or record["keyFile"] is None:
        return 404, {"error": "no such user"}
    return 200, {"reminder": record["reminder"]}


def route_keys(state, request):
    refused = _method(request, "GET")
    if refused:
        return refused
    user_id = _query(request, "userId") or ""
    record = _record(state, request)
    if record is None:
        return 404, {"error": "no such user"}
    return 200, {"keys": [
        {"keyType": "auth", "pubKey": record["signing"], "index": 0, "active": True, "userId": user_id},
        {"keyType": "derivation", "pubKey": record["derivation"], "index": 0, "active": True, "userId": user_id},
    ]}


def route_account(state, request):
    refused = _method(request, "DELETE")
    if refused:
        return refused
    with state.lock:
        _accounts(state).pop(request.user_id, None)
        state.keys.pop((request.user_id, 0), None)
        for token in [t for t, login in state.tokens.items() if login[0] == request.user_id]:
            del state.tokens[token]
    return 200, {}


ROUTES = {
    "users": (route_users, False),
    "lockbox": (route_lockbox, True),
    "lockbox/fetch": (route_lockbox_fetch, False),
    "reminder": (route_reminder, False),
    "keys": (route_keys, True),
    "account": (route_account, True),
}
