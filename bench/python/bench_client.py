"""Client-side CPU time of one credentialed request to the key server.

The test key server runs in a process of its own (its CPU time is not
counted); this process logs one user in and then sends credentialed GET
requests, measured with time.process_time():

- velna: velna.providers.server.client.get (headers, request id, per-request
  credentials with one ECDSA P-384 signature, libcurl on a pooled
  connection, the JSON answer decoded);
- plain: the same protocol written with python3-requests and
  python3-cryptography;
- sign: the signature a request contains, by itself: velna.crypto.ecdsa
  over text as long as a request's signed text (token, time and request
  id), each signature timed alone right after an untimed request, so that
  it starts from the state the request's own signature starts from (the
  caches filled by the transfer, the answer and the interpreter) rather
  than from a loop that signs and does nothing else; the clock's own cost
  is taken out;
- sign-loop: the same signature in a loop of signatures alone (caches hot),
  printed for comparison: it is faster than the signature inside a request
  by some tens of microseconds, which a ratio against it would count as
  overhead of the request;
- transfer: what the request does beside its credentials, by itself: the
  HTTP layer's GET of the same address with the same header fields and
  Basic credentials, made (and signed) untimed right before each GET, so
  that the transfer starts from the state a request's transfer starts from.
  It shows how much of the request's budget outside its signature (0.2 of
  a signature for the 1.2 target) libcurl, the kernel and the response
  object take whatever the rest of the client does.

The variants run in turns, round after round; each figure is the median
CPU time per call over the rounds. Both ratios come from one run: velna per
request against the signature it contains (target at most 1.2), and plain
against velna (target at least 1.5).

Usage: PYTHONPATH=<build>/python /usr/bin/python3 bench/python/bench_client.py
"""

import base64
import datetime
import os
import statistics
import sys
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "python"))

import requests  # noqa: E402
from cryptography.hazmat.primitives import hashes, serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ec  # noqa: E402

import velna.crypto as crypto  # noqa: E402
import velna.providers.server as server  # noqa: E402
import velna.providers.server.http as http  # noqa: E402
from keyserver_fixture import KeyServer  # noqa: E402
from server_helpers import make_user  # noqa: E402

REPEATS = 9
CALLS = 120
SIGN_TARGET = 1.2
PLAIN_TARGET = 1.5


class PlainClient:
    """The session protocol with requests and python3-cryptography."""

    def __init__(self, base, api_key, user_id, index, private_pem):
        self.base, self.api_key, self.user_id, self.index = base, api_key, user_id, index
        self.key = serialization.load_pem_private_key(private_pem, None)
        self.http = requests.Session()

    def _headers(self):
        return {"X-Velna-Api-Key": self.api_key, "X-Request-Id": str(uuid.uuid4())}

    def login(self):
        url = self.base + "v1.0/"
        challenge = self.http.get(url + "time/", headers=self._headers()).json()["time"]
        now = datetime.datetime.now(datetime.timezone.utc)
        self.offset = now - datetime.datetime.fromisoformat(challenge)
        signature = self.key.sign(challenge.encode(), ec.ECDSA(hashes.SHA384()))
        params = {"userId": self.user_id, "authKeyIndex": str(self.index), "challenge": challenge,
                  "verification": base64.b64encode(signature).decode()}
        self.token = self.http.get(url + "login/", params=params, headers=self._headers()).json()["token"]

    def get(self, path):
        headers = self._headers()
        estimated = datetime.datetime.now(datetime.timezone.utc) - self.offset
        user = self.token.encode() + b"," + base64.b64encode(estimated.isoformat().encode())
        signature = self.key.sign(user + headers["X-Request-Id"].encode(), ec.ECDSA(hashes.SHA384()))
        response = self.http.get(self.base + "v1.0/" + path + "/", headers=headers,
                                 auth=(user, base64.b64encode(signature)))
        response.raise_for_status()
        return response.json()


def cpu_per_call(fn, calls):
    start = time.process_time()
    for _ in range(calls):
        fn()
    return (time.process_time() - start) / calls


def cpu_per_call_after(fn, before, calls):
    """CPU time of |fn| alone, each call made right after an untimed |before|."""
    clock = time.process_time_ns
    spent = idle = 0
    for _ in range(calls):
        before()
        start = clock()
        fn()
        spent += clock() - start
        start = clock()
        idle += clock() - start
    return (spent - idle) / calls / 1e9


def main():
    keyserver = KeyServer()
    try:
        user = make_user(keyserver, "accepted")
        server.initialize(keyserver.api_key, keyserver.url, "bench")
        server.session.authenticate(server.client, user)
        key = user.keys["signingKeys"][0]
        plain = PlainClient(keyserver.url, keyserver.api_key, str(user.id), 0,
                            crypto.to_pem_private(key.private))
        plain.login()
        # A request signs its Basic user name (token and time) followed by
        # its request id.
        request_id = str(uuid.uuid4())
        message = server.session._get_auth(request_id)[0] + request_id.encode()
        private = key.private

        def request():
            return server.client.get("echo")

        def sign():
            return crypto.ecdsa.sign(private, message)

        layer = http.Session()
        echo = keyserver.url + "v1.0/echo/"
        prepared = {}

        def prepare():
            rid = str(uuid.uuid4())
            prepared["headers"] = {"X-Velna-Api-Key": keyserver.api_key, "X-Request-Id": rid,
                                   "X-Velna-App-Name": "bench"}
            prepared["auth"] = server.session._get_auth(rid)

        def transfer():
            return layer.get(echo, headers=prepared["headers"], auth=prepared["auth"]).json()

        variants = [
            ("velna", lambda: cpu_per_call(request, CALLS)),
            ("plain", lambda: cpu_per_call(lambda: plain.get("echo"), CALLS)),
            ("sign", lambda: cpu_per_call_after(sign, request, CALLS)),
            ("sign-loop", lambda: cpu_per_call(sign, CALLS)),
            ("transfer", lambda: cpu_per_call_after(transfer, prepare, CALLS)),
        ]
        request(), plain.get("echo"), sign()
        prepare()
        transfer()
        rounds = {name: [] for name, _ in variants}
        for _ in range(REPEATS):
            for name, measure in variants:
                rounds[name].append(measure())
        best = {name: statistics.median(times) for name, times in rounds.items()}
        assert all(r["verdict"] == "ok" for r in keyserver.requests())
    finally:
        keyserver.stop()

    for name, _ in variants:
        print("%-9s %8.1f us CPU per call" % (name, best[name] * 1e6))
    print("velna request outside its signature: %.1f us" % ((best["velna"] - best["sign"]) * 1e6))
    print("the HTTP layer's GET alone / one signature: %.2f (the 1.2 target leaves 0.2 outside the "
          "signature)" % (best["transfer"] / best["sign"]))
    velna_vs_sign = best["velna"] / best["sign"]
    plain_vs_velna = best["plain"] / best["velna"]
    print("velna request / signature in a loop: %.2f (for comparison)"
          % (best["velna"] / best["sign-loop"]))
    print("velna request / one signature: %.2f (target <= %.1f) %s"
          % (velna_vs_sign, SIGN_TARGET, "ok" if velna_vs_sign <= SIGN_TARGET else "MISSED"))
    print("plain request / velna request: %.2f (target >= %.1f) %s"
          % (plain_vs_velna, PLAIN_TARGET, "ok" if plain_vs_velna >= PLAIN_TARGET else "MISSED"))


if __name__ == "__main__":
    main()
