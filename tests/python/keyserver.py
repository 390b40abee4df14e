"""A key server for the tests: a real HTTP server on 127.0.0.1.

Run as a program it prints its port on the first line of standard output
and serves until its standard input closes. The interface under
``/v1.0/`` (anywhere in the path, so that base addresses with a path of
their own work) answers through the route table ``ROUTES``; ``/_test/``
is the tests' own control interface (see ``KeyServer`` in
keyserver_fixture.py).

What it checks:
- every request: the API key (``X-Velna-Api-Key``) and that its request id
  (``X-Request-Id``) has not been seen before;
- "login": the challenge is a time that "time" handed out, not used before,
  and the verification is an ECDSA P-384 SHA-384 signature over it by the
  registered public key of that user and index;
- every credentialed route: Basic credentials whose user name is a live
  token, a comma and the Base64 of an ISO 8601 time within the tolerance of
  the server's clock, and whose password is the Base64 of a signature over
  the user name followed by the request id, by the key that logged in.

Add a route: write ``handler(server, request) -> (status, body)`` (body: a
JSON value, bytes, or None for an empty body) and enter it in ``ROUTES``
under its path below ``v1.0/`` with ``credentialed`` true or false.
"""
import base64
import binascii
import datetime
import json
import os
import secrets
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec

import keyserver_events

API_VERSION = "v1.0"


def iso(moment):
    return moment.isoformat()


class Rejected(Exception):
    """A request the server refuses: 401 with the reason."""


class State:
    """Everything the server knows; one lock guards it."""

    def __init__(self):
        self.lock = threading.Lock()
        self.reset()

    def reset(self):
        self.api_key = "test-api-key"
        self.shift = 0.0  # seconds added to the real clock
        self.token_lifetime = 3600.0
        self.tolerance = 5.0  # seconds between the client's estimate and the clock
        self.keys = {}  # (user id, index) -> public key
        self.rejected = set()  # (user id, index) whose logins are refused
        self.challenges = set()
        self.tokens = {}  # token -> (user id, index, expiry)
        self.request_ids = set()
        self.scripts = {}  # route -> [(status, body, delay)]
        self.requests = []
        self.event_log = keyserver_events.EventLog()

    def now(self):
        return datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=self.shift)


class Request:
    def __init__(self, method, path, route, query, headers, body):
        self.method, self.path, self.route = method, path, route
        self.query, self.headers, self.body = query, headers, body
        self.user_id = None  # set once credentials verify

    def json(self):
        return json.loads(self.body) if self.body else None


def parse_time(text):
    moment = datetime.datetime.fromisoformat(text)
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=datetime.timezone.utc)
    return moment


def verify(public_key, signature, data):
    try:
        public_key.verify(signature, data, ec.ECDSA(hashes.SHA384()))
    except InvalidSignature:
        raise Rejected("signature does not verify")


def check_credentials(server, request):
    header = request.headers.get("authorization", "")
    if not header.startswith("Basic "):
        raise Rejected("no credentials")
    try:
        user_name, _, password = base64.b64decode(header[6:], validate=True).rpartition(b":")
        token, _, stamp = user_name.rpartition(b",")
        estimated = parse_time(base64.b64decode(stamp, validate=True).decode())
        signature = base64.b64decode(password, validate=True)
    except (ValueError, binascii.Error, UnicodeDecodeError):
        raise Rejected("malformed credentials")
    with server.lock:
        login = server.tokens.get(token.decode("utf-8", "replace"))
        now = server.now()
        tolerance = server.tolerance
    if login is None:
        raise Rejected("unknown token")
    user_id, index, expiry = login
    if now >= expiry:
        raise Rejected("token expired")
    if abs((estimated - now).total_seconds()) > tolerance:
        raise Rejected("estimated time is off by %.3f s" % (estimated - now).total_seconds())
    verify(server.keys[(user_id, index)], signature,
           user_name + request.headers.get("x-request-id", "").encode())
    request.user_id = user_id


def route_time(server, request):
    with server.lock:
        text = iso(server.now())
        server.challenges.add(text)
    return 200, {"time": text}


def route_login(server, request):
    q = {k: v[-1] for k, v in request.query.items()}
    key = (q.get("userId"), int(q.get("authKeyIndex", "-1")))
    challenge = q.get("challenge", "")
    with server.lock:
        fresh = challenge in server.challenges
        server.challenges.discard(challenge)
        public_key = server.keys.get(key)
        refused = key in server.rejected
        now = server.now()
        lifetime = server.token_lifetime
    if not fresh:
        return 200, {"error": "unknown challenge"}
    if public_key is None or refused:
        return 200, {"error": "key not accepted"}
    try:
        verify(public_key, base64.b64decode(q.get("verification", "")), challenge.encode())
    except (Rejected, binascii.Error):
        return 200, {"error": "verification failed"}
    token = secrets.token_hex(16)
    expiry = now + datetime.timedelta(seconds=lifetime)
    with server.lock:
        server.tokens[token] = (key[0], key[1], expiry)
    return 200, {"token": token, "expiration": iso(expiry)}


def route_echo(server, request):
    """Says what it received; for the tests of the client itself."""
    body = request.body
    return 200, {"method": request.method, "query": request.query, "userId": request.user_id,
                 "body": body.decode("utf-8", "replace"),
                 "contentType": request.headers.get("content-type")}


# path below v1.0/ -> (handler, credentialed)
ROUTES = {
    "time": (route_time, False),
    "login": (route_login, False),
    "echo": (route_echo, True),
    "events": (keyserver_events.route_events, True),
}
ROUTES.update(__import__("keyserver_accounts").ROUTES)  # user accounts


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True
    wbufsize = 64 * 1024  # one write per answer, flushed after each request
    server_version = "keyserver"

    def log_message(self, *args):
        pass

    def _handle(self):
        state = self.server.state
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        parsed = urllib.parse.urlsplit(self.path)
        if parsed.path.startswith("/_test/"):
            return self._control(parsed.path[len("/_test/"):], body)
        marker = "/" + API_VERSION + "/"
        at = parsed.path.find(marker)
        route = parsed.path[at + len(marker):].strip("/") if at >= 0 else None
        headers = {k.lower(): v for k, v in self.headers.items()}
        request = Request(self.command, parsed.path, route,
                          urllib.parse.parse_qs(parsed.query, keep_blank_values=True), headers, body)
        record = {"method": self.command, "path": parsed.path, "route": route,
                  "peer": self.client_address[1],
                  "query": request.query, "headers": headers,
                  "body": body.decode("utf-8", "replace")}
        with state.lock:
            state.requests.append(record)
            rid = headers.get("x-request-id")
            repeated = rid in state.request_ids
            state.request_ids.add(rid)
            script = state.scripts.get(route)
            scripted = script.pop(0) if script else None
            api_key = state.api_key
        status, answer = 404, {"error": "no such route"}
        try:
            if headers.get("x-velna-api-key") != api_key:
                raise Rejected("wrong API key")
            if not rid or repeated:
                raise Rejected("request id missing or repeated")
            entry = ROUTES.get(route)
            if entry and entry[1]:
                check_credentials(state, request)
            if scripted is not None:
                status, answer, delay = scripted
                time.sleep(delay)
            elif entry:
                status, answer = entry[0](state, request)
        except Rejected as e:
            status, answer = 401, {"error": str(e)}
        record["status"] = status
        record["verdict"] = answer.get("error", "ok") if isinstance(answer, dict) and status == 401 else "ok"
        self._answer(status, answer)

    def _answer(self, status, answer):
        if answer is None:
            payload, kind = b"", None
        elif isinstance(answer, bytes):
            payload, kind = answer, "application/octet-stream"
        else:
            payload, kind = json.dumps(answer).encode(), "application/json"
        self.send_response(status)
        if kind:
            self.send_header("Content-Type", kind)
        if status not in (204, 304):
            self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        if payload and status not in (204, 304):
            self.wfile.write(payload)

    def _control(self, what, body):
        state = self.server.state
        args = json.loads(body) if body else {}
        answer = {}
        with state.lock:
            if what == "reset":
                state.reset()
            elif what == "config":
                for name in ("api_key", "shift", "token_lifetime", "tolerance"):
                    if name in args:
                        setattr(state, name, args[name])
            elif what == "key":
                key = (args["user_id"], int(args["index"]))
                state.keys[key] = serialization.load_pem_public_key(args["pem"].encode())
                (state.rejected.add if args.get("rejected") else state.rejected.discard)(key)
            elif what == "script":
                state.scripts.setdefault(args["route"], []).extend(
                    (s["status"], s.get("json") if "json" in s else
                     (base64.b64decode(s["bytes"]) if "bytes" in s else None), s.get("delay", 0))
                    for s in args["answers"])
            elif what == "expire":
                for token, (user, index, _) in list(state.tokens.items()):
                    state.tokens[token] = (user, index, state.now())
            elif what == "requests":
                answer = {"requests": state.requests}
            elif what == "now":
                answer = {"now": iso(state.now())}
            elif what.startswith("events/"):
                answer = keyserver_events.control(state, what[len("events/"):], args)
        self._answer(200, answer)

    do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = _handle


def self_signed_context():
    """A TLS context with a fresh self-signed certificate for 127.0.0.1,
    which no client trusts."""
    import ipaddress
    import ssl
    import tempfile
    from cryptography import x509
    from cryptography.x509.oid import NameOID

    key = ec.generate_private_key(ec.SECP384R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "127.0.0.1")])
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name)
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=1))
            .add_extension(x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]),
                           critical=False)
            .sign(key, hashes.SHA384()))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    with tempfile.TemporaryDirectory() as d:
        cert_file, key_file = os.path.join(d, "cert.pem"), os.path.join(d, "key.pem")
        with open(cert_file, "wb") as f:
            f.write(cert.public_bytes(serialization.Encoding.PEM))
        with open(key_file, "wb") as f:
            f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                      serialization.NoEncryption()))
        context.load_cert_chain(cert_file, key_file)
    return context


def main():
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    if "--tls" in sys.argv[1:]:
        server.socket = self_signed_context().wrap_socket(server.socket, server_side=True)
    server.daemon_threads = True
    server.state = State()
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(server.server_address[1], flush=True)
    sys.stdin.read()  # serves until the test process closes the pipe
    server.shutdown()


if __name__ == "__main__":
    main()
