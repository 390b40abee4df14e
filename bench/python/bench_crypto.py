"""Throughput of velna.crypto's AES-256-CTR and HMAC-SHA384 beside the same
work done with raw EVP calls into libcrypto from this very process (through
ctypes), and the per-call cost of crypto.SHA384 on a short message.

Usage: PYTHONPATH=<build>/python /usr/bin/python3 bench/python/bench_crypto.py

Every figure is the best of several repeats; the variants of one size run in
turns, so a change in the machine's load hits them alike.
"""

import ctypes
import hashlib
import sys
import timeit

import timing

from velna import crypto
from velna.crypto import aes, hmac

SIZES = [("1 KiB", 1 << 10), ("1 MiB", 1 << 20), ("64 MiB", 64 << 20)]
REPEATS = 5
SECONDS_PER_REPEAT = 0.12
RATIO_TARGET = 0.9
SHA384_TARGET_US = 1.5

CIPHER_KEY = bytes(range(32))
IV = bytes(range(16, 32))
MAC_KEY = bytes(range(128))


def _libcrypto():
    lib = ctypes.CDLL("libcrypto.so.3")
    vp, cp, ci, cs = ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_size_t

    def sig(name, restype, *argtypes):
        fn = getattr(lib, name)
        fn.restype, fn.argtypes = restype, list(argtypes)

    sig("EVP_CIPHER_fetch", vp, vp, cp, cp)
    sig("EVP_CIPHER_CTX_new", vp)
    sig("EVP_CIPHER_CTX_free", None, vp)
    sig("EVP_EncryptInit_ex2", ci, vp, vp, cp, cp, vp)
    sig("EVP_EncryptUpdate", ci, vp, vp, ctypes.POINTER(ci), cp, ci)
    sig("EVP_EncryptFinal_ex", ci, vp, vp, ctypes.POINTER(ci))
    sig("EVP_sha384", vp)
    sig("HMAC", vp, vp, cp, ci, cp, cs, vp, ctypes.POINTER(ctypes.c_uint))
    sig("EVP_MAC_fetch", vp, vp, cp, cp)
    sig("EVP_MAC_CTX_new", vp, vp)
    sig("EVP_MAC_CTX_free", None, vp)
    sig("EVP_MAC_init", ci, vp, cp, cs, vp)
    sig("EVP_MAC_update", ci, vp, cp, cs)
    sig("EVP_MAC_final", ci, vp, vp, ctypes.POINTER(cs), cs)
    return lib


class OsslParam(ctypes.Structure):
    _fields_ = [
        ("key", ctypes.c_char_p),
        ("data_type", ctypes.c_uint),
        ("data", ctypes.c_void_p),
        ("data_size", ctypes.c_size_t),
        ("return_size", ctypes.c_size_t),
    ]


LIB = _libcrypto()
LIBC = ctypes.CDLL(None)
LIBC.malloc.restype, LIBC.malloc.argtypes = ctypes.c_void_p, [ctypes.c_size_t]
LIBC.free.restype, LIBC.free.argtypes = None, [ctypes.c_void_p]
LIB.OSSL_PARAM_construct_utf8_string.restype = OsslParam
LIB.OSSL_PARAM_construct_utf8_string.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]
LIB.OSSL_PARAM_construct_end.restype = OsslParam
LIB.OSSL_PARAM_construct_end.argtypes = []


def _check(rc, what):
    if rc != 1:
        raise RuntimeError(what + " failed")


def make_raw_aes(uninitialised=False):
    """Raw EVP encryption into a fresh output: a ctypes string buffer (which
    ctypes zero-fills first) or, with |uninitialised|, a malloc'd block freed
    right after, the closest ctypes comes to C."""
    cipher = LIB.EVP_CIPHER_fetch(None, b"AES-256-CTR", None)
    if not cipher:
        raise RuntimeError("EVP_CIPHER_fetch failed")
    new, free = LIB.EVP_CIPHER_CTX_new, LIB.EVP_CIPHER_CTX_free
    init, update, final = LIB.EVP_EncryptInit_ex2, LIB.EVP_EncryptUpdate, LIB.EVP_EncryptFinal_ex
    buffer, byref, c_int = ctypes.create_string_buffer, ctypes.byref, ctypes.c_int

    def raw_aes(data, key, iv):
        out = buffer(len(data))
        n, tail = c_int(0), c_int(0)
        ctx = new()
        try:
            _check(init(ctx, cipher, key, iv, None), "EVP_EncryptInit_ex2")
            _check(update(ctx, out, byref(n), data, len(data)), "EVP_EncryptUpdate")
            _check(final(ctx, byref(out, n.value), byref(tail)), "EVP_EncryptFinal_ex")
        finally:
            free(ctx)
        return out

    malloc, libc_free = LIBC.malloc, LIBC.free

    def raw_aes_uninitialised(data, key, iv):
        out = malloc(len(data) or 1)
        if not out:
            raise MemoryError
        n, tail = c_int(0), c_int(0)
        ctx = new()
        try:
            _check(init(ctx, cipher, key, iv, None), "EVP_EncryptInit_ex2")
            _check(update(ctx, out, byref(n), data, len(data)), "EVP_EncryptUpdate")
            _check(final(ctx, out + n.value, byref(tail)), "EVP_EncryptFinal_ex")
        finally:
            free(ctx)
            libc_free(out)

    return raw_aes_uninitialised if uninitialised else raw_aes


def make_raw_hmac_evp_mac():
    mac = LIB.EVP_MAC_fetch(None, b"HMAC", None)
    if not mac:
        raise RuntimeError("EVP_MAC_fetch failed")
    digest_name = ctypes.create_string_buffer(b"SHA384")
    params = (OsslParam * 2)(
        LIB.OSSL_PARAM_construct_utf8_string(b"digest", digest_name, 0),
        LIB.OSSL_PARAM_construct_end(),
    )
    new, free = LIB.EVP_MAC_CTX_new, LIB.EVP_MAC_CTX_free
    init, update, final = LIB.EVP_MAC_init, LIB.EVP_MAC_update, LIB.EVP_MAC_final
    buffer, byref, c_size_t = ctypes.create_string_buffer, ctypes.byref, ctypes.c_size_t

    def raw_hmac(key, data):
        out = buffer(48)
        n = c_size_t(0)
        ctx = new(mac)
        try:
            _check(init(ctx, key, len(key), params), "EVP_MAC_init")
            _check(update(ctx, data, len(data)), "EVP_MAC_update")
            _check(final(ctx, out, byref(n), 48), "EVP_MAC_final")
        finally:
            free(ctx)
        return out

    raw_hmac.keep_alive = (digest_name, params)
    return raw_hmac


def make_raw_hmac_one_shot():
    md = LIB.EVP_sha384()
    one_shot, buffer = LIB.HMAC, ctypes.create_string_buffer
    byref, c_uint = ctypes.byref, ctypes.c_uint

    def raw_hmac(key, data):
        out = buffer(48)
        n = c_uint(0)
        if not one_shot(md, key, len(key), data, len(data), out, byref(n)):
            raise RuntimeError("HMAC failed")
        return out

    return raw_hmac


def best_throughputs(size, variants):
    """Best bytes per second of each variant, the variants timed in turns."""
    best = timing.best_seconds(variants, REPEATS, SECONDS_PER_REPEAT)
    return {name: size / seconds for name, seconds in best.items()}


def check_agreement(data, raw_aes, raw_evp_mac, raw_one_shot):
    ct = aes.encrypt(data, CIPHER_KEY, IV)
    if raw_aes(data, CIPHER_KEY, IV).raw != ct:
        sys.exit("raw EVP and aes.encrypt disagree")
    tag = hmac.digest(MAC_KEY, data)
    if raw_evp_mac(MAC_KEY, data).raw != tag or raw_one_shot(MAC_KEY, data).raw != tag:
        sys.exit("raw EVP and hmac.digest disagree")


def mib(bps):
    return bps / (1 << 20)


def main():
    raw_aes = make_raw_aes()
    raw_aes_uninitialised = make_raw_aes(uninitialised=True)
    raw_evp_mac = make_raw_hmac_evp_mac()
    raw_one_shot = make_raw_hmac_one_shot()
    check_agreement(bytes(range(256)) * 5 + b"tail", raw_aes, raw_evp_mac, raw_one_shot)

    missed = []
    print("Throughput in MiB/s (best of %d); ratio = Python API / raw EVP" % REPEATS)
    header = "%-20s %-7s %10s %10s %10s %7s" % ("operation", "size", "python", "raw", "raw alt", "ratio")
    print(header)
    print("-" * len(header))
    for label, size in SIZES:
        data = bytes([0x5A]) * size
        res = best_throughputs(size, [
            ("py", lambda: aes.encrypt(data, CIPHER_KEY, IV)),
            ("raw", lambda: raw_aes(data, CIPHER_KEY, IV)),
            ("raw_malloc", lambda: raw_aes_uninitialised(data, CIPHER_KEY, IV)),
        ])
        ratio = res["py"] / max(res["raw"], res["raw_malloc"])
        print("%-20s %-7s %10.1f %10.1f %10.1f %7.3f" % (
            "AES-256-CTR encrypt", label, mib(res["py"]), mib(res["raw"]),
            mib(res["raw_malloc"]), ratio))
        if size >= 1 << 20 and ratio < RATIO_TARGET:
            missed.append("AES-256-CTR at %s: %.3f" % (label, ratio))

        res = best_throughputs(size, [
            ("py", lambda: hmac.digest(MAC_KEY, data)),
            ("evp_mac", lambda: raw_evp_mac(MAC_KEY, data)),
            ("one_shot", lambda: raw_one_shot(MAC_KEY, data)),
        ])
        raw = max(res["evp_mac"], res["one_shot"])
        ratio = res["py"] / raw
        print("%-20s %-7s %10.1f %10.1f %10.1f %7.3f" % (
            "HMAC-SHA384 digest", label, mib(res["py"]), mib(res["evp_mac"]),
            mib(res["one_shot"]), ratio))
        if size >= 1 << 20 and ratio < RATIO_TARGET:
            missed.append("HMAC-SHA384 at %s: %.3f" % (label, ratio))
    print("(AES raw: EVP_EncryptInit_ex2/Update/Final into a fresh ctypes string buffer,"
          " raw alt: into a malloc'd block;\n HMAC raw: EVP_MAC, raw alt: one-shot HMAC();"
          " each ratio is taken against the faster raw)")

    print()
    message = bytes(range(64))
    number = 200_000
    figures = []
    for name, stmt, env in [
        ("crypto.SHA384(data)", "crypto.SHA384(data)", {"crypto": crypto, "data": message}),
        ("hashlib.sha384(data).hexdigest()", "sha384(data).hexdigest()",
         {"sha384": hashlib.sha384, "data": message}),
    ]:
        best = min(timeit.repeat(stmt, globals=env, number=number, repeat=7)) / number
        figures.append(best)
        print("%-34s %7.3f us per call (64 bytes, best of 7)" % (name, best * 1e6))
    if crypto.SHA384(message) != hashlib.sha384(message).hexdigest():
        sys.exit("crypto.SHA384 and hashlib disagree")
    if figures[0] * 1e6 > SHA384_TARGET_US:
        missed.append("crypto.SHA384 of 64 bytes: %.3f us" % (figures[0] * 1e6))

    print()
    if missed:
        print("Targets missed: " + "; ".join(missed))
        return 1
    print("Targets met: Python API >= %.1f of raw EVP at 1 MiB and above; "
          "crypto.SHA384 of 64 bytes <= %.1f us" % (RATIO_TARGET, SHA384_TARGET_US))
    return 0


if __name__ == "__main__":
    sys.exit(main())
