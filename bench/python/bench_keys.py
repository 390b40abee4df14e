"""Key files and key rings through the Python API, each beside its yardstick:

  (a) opening a key file (Lockbox(enc_data=...).decrypt(password)) beside the
      one PBKDF2-HMAC-SHA384 derivation it needs (hashlib.pbkdf2_hmac, 100000
      iterations); target: at most 1.05 times;
  (b) building a KeyRing of two keys from a decrypted key file beside the same
      steps written in plain Python over python3-cryptography (load both PEM
      keys, take their public halves, parse the owner's identifier, keep the
      keys by kind and index); target: at most 0.5 times.

Usage: PYTHONPATH=<build>/python /usr/bin/python3 bench/python/bench_keys.py [--quick]

Each ratio comes from one run. (a) times the two back to back, in alternating
order, many times over and takes the median of the per-pair ratios, so that
a change in the machine's load falls on both sides of a pair alike; (b) runs
the variants in turns and takes the best of several repeats (see timing.py). The plain Python
version is a yardstick only; the package never imports python3-cryptography.
"""

import hashlib
import statistics
import sys
import time
import uuid

import timing

from cryptography.hazmat.primitives import serialization

from velna.crypto.keys import AuthKey, DerivationKey, KeyRing
from velna.crypto.lockbox import KF, Lockbox

QUICK = "--quick" in sys.argv
REPEATS = 3 if QUICK else 7
PAIRS = 10 if QUICK else 60
PASSWORD = "Corr3ct horse!"
TARGETS = {"open": 1.05, "key_ring": 0.5}


class PlainKey:
    def __init__(self, key_type, private, public, index, active, user_id):
        self.type, self.private, self.public = key_type, private, public
        self.index, self.active, self.user_id = index, active, user_id


def plain_key_ring(data):
    ring = {"signingKeys": {}, "derivationKeys": {}}
    for kind in ("signingKeys", "derivationKeys"):
        for record in data[kind].values():
            private = serialization.load_pem_private_key(record["key"].encode("utf-8"), None)
            key = PlainKey(kind, private, private.public_key(), record["index"], record["active"],
                           uuid.UUID(data["userId"]))
            ring[kind][key.index] = key
    return ring


def main():
    box = Lockbox(signing_key=AuthKey(), derivation_key=DerivationKey(), user_id=uuid.uuid4())
    data = box.encrypt(PASSWORD, "a passphrase").data
    salt = KF.parse(data).key_ring.salt
    secret = hashlib.sha384(PASSWORD.encode()).hexdigest().encode()
    opened = Lockbox(enc_data=data).decrypt(PASSWORD)

    def api():
        Lockbox(enc_data=data).decrypt(PASSWORD)

    def pbkdf2():
        hashlib.pbkdf2_hmac("sha384", secret, salt, 100000, 32)

    pairs = []
    for i in range(PAIRS):
        times = {}
        for name, fn in ((("api", api), ("pbkdf2", pbkdf2)) if i % 2 else (("pbkdf2", pbkdf2), ("api", api))):
            start = time.perf_counter()
            fn()
            times[name] = time.perf_counter() - start
        pairs.append(times)
    open_best = {name: statistics.median(t[name] for t in pairs) for name in ("api", "pbkdf2")}
    ring_best = timing.best_seconds(
        [("api", lambda: KeyRing(lockbox=opened)), ("plain", lambda: plain_key_ring(opened.data))],
        REPEATS, 0.1 if QUICK else 0.3)

    ratios = {"open": statistics.median(t["api"] / t["pbkdf2"] for t in pairs), "key_ring": ring_best["api"] / ring_best["plain"]}
    print("(a) open a key file: API {:.2f} ms, one PBKDF2 derivation {:.2f} ms (medians), median ratio {:.3f} "
          "(target <= {})".format(
        open_best["api"] * 1e3, open_best["pbkdf2"] * 1e3, ratios["open"], TARGETS["open"]))
    print("(b) KeyRing of two keys: API {:.1f} us, plain Python {:.1f} us, ratio {:.3f} (target <= {})".format(
        ring_best["api"] * 1e6, ring_best["plain"] * 1e6, ratios["key_ring"], TARGETS["key_ring"]))
    failed = [name for name, ratio in ratios.items() if ratio > TARGETS[name]]
    if failed:
        print("over target:", ", ".join(failed))
        sys.exit(1)


if __name__ == "__main__":
    main()
