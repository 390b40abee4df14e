"""Per-call cost of create_key and of the call wrappers.

Run with the build tree on the path:

    PYTHONPATH=<build>/python /usr/bin/python3 bench/python/bench_registry.py

create_key is measured beside hashlib.pbkdf2_hmac with the same parameters
(both over OpenSSL's PBKDF2), each the best of several rounds, alternating
so that outside load falls on both alike. The wrappers are measured with
tracing off (the logger "velna" not at DEBUG) against the bare function.
"""
import hashlib
import logging
import timeit

import velna.crypto.pbkdf2 as pbkdf2
import velna.decorators as decorators
import velna.providers as providers

SECRET = b"a" * 96
SALT = b"\x5c" * 8


def best_pair(a, b, number, rounds):
    """Best per-call time of a and of b, measured in alternation."""
    ta, tb = [], []
    for _ in range(rounds):
        ta.append(timeit.timeit(a, number=number) / number)
        tb.append(timeit.timeit(b, number=number) / number)
    return min(ta), min(tb)


def bench_create_key():
    assert pbkdf2.create_key(SECRET, SALT) == hashlib.pbkdf2_hmac("sha384", SECRET, SALT, 100000, 32)
    ours, raw = best_pair(
        lambda: pbkdf2.create_key(SECRET, SALT),
        lambda: hashlib.pbkdf2_hmac("sha384", SECRET, SALT, 100000, 32),
        number=5,
        rounds=8,
    )
    print("create_key                 %10.3f ms/call" % (ours * 1e3))
    print("hashlib.pbkdf2_hmac (raw)  %10.3f ms/call" % (raw * 1e3))
    print("  ratio create_key / raw   %10.3f  (target <= 1.05)" % (ours / raw))


def add(a, b):
    return a + b


def bench_wrappers():
    velna = logging.getLogger("velna")
    old = velna.level
    velna.setLevel(logging.INFO)  # tracing off
    try:
        log = logging.getLogger("velna.bench")
        traced = decorators.logged(log)(add)

        class Provider:
            def __init__(self):
                self.session = providers.Session()
                self.session.user = "someone"

        guarded = decorators.login_required(Provider())(add)
        provider = Provider()
        via_registry = decorators.login_required()(add)

        n = 200000
        bare, wrapped = best_pair(lambda: add(1, 2), lambda: traced(1, 2), n, 7)
        print("bare function              %10.3f us/call" % (bare * 1e6))
        print("logged, tracing off        %10.3f us/call" % (wrapped * 1e6))
        print("  overhead                 %10.3f us/call  (target <= 1.0)" % ((wrapped - bare) * 1e6))
        print("  ratio logged / bare      %10.3f" % (wrapped / bare))

        bare, wrapped = best_pair(lambda: add(1, 2), lambda: guarded(1, 2), n, 7)
        print("login_required(provider)   %10.3f us/call  overhead %.3f us" % (wrapped * 1e6, (wrapped - bare) * 1e6))
        with providers.use(provider):
            bare, wrapped = best_pair(lambda: add(1, 2), lambda: via_registry(1, 2), n, 7)
        print("login_required() registry  %10.3f us/call  overhead %.3f us" % (wrapped * 1e6, (wrapped - bare) * 1e6))
    finally:
        velna.setLevel(old)


if __name__ == "__main__":
    bench_create_key()
    bench_wrappers()
