"""Container encryption and decryption through velna.crypto.container beside
(1) raw EVP AES-256-CTR plus one-shot HMAC-SHA384 over the same bytes into
one fresh buffer, called through ctypes in this very process, and (2) the
same container format written here in plain Python with python3-cryptography
and struct (the plain version is a yardstick only; the package never imports
python3-cryptography).

  (a) 64 MiB of raw content: throughput, both ways.
  (b) 1 KiB of content and a small JSON header: operations per second, both ways.

Usage: PYTHONPATH=<build>/python /usr/bin/python3 bench/python/bench_container.py [--quick]

The variants of one case run in turns, so a change in the machine's load hits
them alike. (a) is the best of several repeats in wall-clock time; (b) is the
median of several rounds in process (CPU) time, the order of the variants
alternating from round to round, and prints both sides of each ratio. Keys are given to
every variant, so key generation is not part of any figure. An encryption
starts from the header value and the content bytes and ends with the blob; a
decryption starts from the blob and ends with the header value and the
content bytes.
"""

import ctypes
import hashlib
import hmac as std_hmac
import json
import os
import statistics
import struct
import sys
import time
import uuid

import timing

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives import hmac as c_hmac
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

import velna.crypto.aes  # noqa: F401  (the container reaches aes through the package)
import velna.crypto.container as container

QUICK = "--quick" in sys.argv
REPEATS = 3 if QUICK else 7
ROUNDS = 5 if QUICK else 15
SECONDS_PER_REPEAT = 0.1 if QUICK else 0.25
BIG = 64 << 20
SMALL_CONTENT = 1 << 10
SMALL_HEADER = {"name": "report.pdf", "size": 1024, "tags": ["a", "b"]}
TARGETS = {"big_raw": 0.8, "big_plain": 1.3, "small_plain": 4.0}

CIPHER_KEY = bytes(range(32))
MAC_KEY = bytes(range(128))

# --- raw EVP through ctypes ---------------------------------------------------------

LIB = ctypes.CDLL("libcrypto.so.3")
LIBC = ctypes.CDLL(None)


def _sig(lib, name, restype, *argtypes):
    fn = getattr(lib, name)
    fn.restype, fn.argtypes = restype, list(argtypes)
    return fn


_vp, _cp, _ci, _cs = ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_size_t
_fetch = _sig(LIB, "EVP_CIPHER_fetch", _vp, _vp, _cp, _cp)
_ctx_new = _sig(LIB, "EVP_CIPHER_CTX_new", _vp)
_ctx_free = _sig(LIB, "EVP_CIPHER_CTX_free", None, _vp)
_init = _sig(LIB, "EVP_EncryptInit_ex2", _ci, _vp, _vp, _cp, _cp, _vp)
_update = _sig(LIB, "EVP_EncryptUpdate", _ci, _vp, _vp, ctypes.POINTER(_ci), _vp, _ci)
_sha384 = _sig(LIB, "EVP_sha384", _vp)
_hmac = _sig(LIB, "HMAC", _vp, _vp, _cp, _ci, _vp, _cs, _vp, ctypes.POINTER(ctypes.c_uint))
_malloc = _sig(LIBC, "malloc", _vp, _cs)
_free = _sig(LIBC, "free", None, _vp)
_AES_CTR = _fetch(None, b"AES-256-CTR", None)
_MD = _sha384()
# EVP_EncryptUpdate takes an int length; larger inputs go in pieces.
_PIECE = 1 << 30


def _raw_ctr(src, dst, size, key, iv):
    ctx = _ctx_new()
    try:
        if _init(ctx, _AES_CTR, key, iv, None) != 1:
            raise RuntimeError("EVP_EncryptInit_ex2 failed")
        n = _ci(0)
        for off in range(0, size, _PIECE):
            piece = min(_PIECE, size - off)
            if _update(ctx, dst + off, ctypes.byref(n), src + off, piece) != 1:
                raise RuntimeError("EVP_EncryptUpdate failed")
    finally:
        _ctx_free(ctx)


def _raw_mac(key, src, size, tag):
    if not _hmac(_MD, key, len(key), src, size, tag, None):
        raise RuntimeError("HMAC failed")


def _address(data):
    return ctypes.cast(ctypes.c_char_p(data), _vp).value


def raw_encrypt(data, iv):
    """AES-256-CTR of |data| into one fresh buffer, then HMAC-SHA384 over it."""
    size = len(data)
    out = _malloc(size + 48)
    try:
        _raw_ctr(_address(data), out, size, CIPHER_KEY, iv)
        _raw_mac(MAC_KEY, out, size, out + size)
    finally:
        _free(out)


def raw_decrypt(data, iv):
    """HMAC-SHA384 over |data|, then AES-256-CTR of it into one fresh buffer."""
    size = len(data)
    tag = ctypes.create_string_buffer(48)
    out = _malloc(size or 1)
    try:
        src = _address(data)
        _raw_mac(MAC_KEY, src, size, tag)
        _raw_ctr(src, out, size, CIPHER_KEY, iv)
    finally:
        _free(out)


# --- the container format in plain Python -------------------------------------------

U64 = struct.Struct("<Q")
PREAMBLE = struct.Struct("<Q16s4Q")


def plain_encrypt_section(plaintext):
    iv = os.urandom(8) + bytes(8)
    encryptor = Cipher(algorithms.AES(CIPHER_KEY), modes.CTR(iv)).encryptor()
    ct = encryptor.update(plaintext) + encryptor.finalize()
    mac = c_hmac.HMAC(MAC_KEY, hashes.SHA384())
    mac.update(ct)
    return b"".join((U64.pack(16), iv, U64.pack(len(ct)), ct, U64.pack(48), mac.finalize()))


def plain_encrypt(header, content, oid):
    htext = json.dumps({"version": 1, "customData": header}).encode()
    hsec = plain_encrypt_section(htext)
    csec = plain_encrypt_section(content)
    return b"".join((PREAMBLE.pack(1, oid, 0, 0, len(hsec), len(csec)), hsec, csec))


def plain_decrypt_section(view, pos):
    fields = []
    for _ in range(3):
        (n,) = U64.unpack_from(view, pos)
        pos += 8
        if n > len(view) - pos:
            raise ValueError("truncated section")
        fields.append(view[pos : pos + n])
        pos += n
    iv, ct, digest = fields
    mac = c_hmac.HMAC(MAC_KEY, hashes.SHA384())
    mac.update(ct)
    mac.verify(bytes(digest))
    decryptor = Cipher(algorithms.AES(CIPHER_KEY), modes.CTR(bytes(iv))).decryptor()
    return decryptor.update(ct) + decryptor.finalize(), pos


def plain_decrypt(blob):
    view = memoryview(blob)
    PREAMBLE.unpack_from(view, 0)
    htext, pos = plain_decrypt_section(view, 56)
    content, _ = plain_decrypt_section(view, pos)
    return json.loads(htext)["customData"], content


# --- velna --------------------------------------------------------------------------

KEYS = container.ContainerKeys(cipher_key=CIPHER_KEY, mac_key=MAC_KEY)


def velna_encrypt(header, content):
    c = container.Container(header=header, content=content)
    c.encrypt(KEYS)
    return c.data


def velna_decrypt(blob):
    c = container.Container(data=blob)
    c.decrypt(KEYS)
    return c.header.data, c.content.data


# --- timing -------------------------------------------------------------------------


def best_seconds(variants):
    return timing.best_seconds(variants, REPEATS, SECONDS_PER_REPEAT)


def median_seconds(variants):
    """Median process seconds per call of each (name, fn) variant over ROUNDS
    rounds, the variants taking turns in an order that flips every round."""
    plans = [(name, fn, timing.calibrate(fn, SECONDS_PER_REPEAT / 2)) for name, fn in variants]
    samples = {name: [] for name, _, _ in plans}
    for r in range(ROUNDS):
        for name, fn, number in plans if r % 2 == 0 else plans[::-1]:
            start = time.process_time()
            for _ in range(number):
                fn()
            samples[name].append((time.process_time() - start) / number)
    return {name: statistics.median(values) for name, values in samples.items()}


def check_agreement():
    """Both formats open each other's blobs, so the yardstick does the same work."""
    header, content = SMALL_HEADER, os.urandom(3000)
    blob = velna_encrypt(header, content)
    if plain_decrypt(blob) != (header, content):
        sys.exit("the plain version does not open a velna blob")
    if velna_decrypt(plain_encrypt(header, content, uuid.uuid4().bytes_le)) != (header, content):
        sys.exit("velna does not open a blob of the plain version")
    iv = bytes(16)
    ct = ctypes.create_string_buffer(len(content))
    _raw_ctr(_address(content), ctypes.addressof(ct), len(content), CIPHER_KEY, iv)
    if ct.raw != velna.crypto.aes.encrypt(data=content, cipher_key=CIPHER_KEY, iv=iv):
        sys.exit("raw EVP and aes.encrypt disagree")
    tag = ctypes.create_string_buffer(48)
    _raw_mac(MAC_KEY, _address(content), len(content), tag)
    if tag.raw != std_hmac.new(MAC_KEY, content, hashlib.sha384).digest():
        sys.exit("raw HMAC and hmac disagree")


def main():
    check_agreement()
    figures, missed = {}, []

    def judge(key, label, value):
        ok = value >= TARGETS[key]
        figures[label] = value
        if not ok:
            missed.append("%s %.2f < %.2f" % (label, value, TARGETS[key]))
        return "ok" if ok else "MISSED"

    big = os.urandom(BIG)
    iv = os.urandom(8) + bytes(8)
    oid = uuid.uuid4().bytes_le
    blob = velna_encrypt(None, big)
    plain_blob = plain_encrypt(None, big, oid)
    print("(a) 64 MiB of raw content, MiB/s (best of %d)" % REPEATS)
    print("%-10s %10s %10s %10s %12s %12s" % ("", "velna", "raw EVP", "plain py", "velna/raw", "velna/plain"))
    for direction, variants in [
        ("encrypt", [("velna", lambda: velna_encrypt(None, big)), ("raw", lambda: raw_encrypt(big, iv)),
                     ("plain", lambda: plain_encrypt(None, big, oid))]),
        ("decrypt", [("velna", lambda: velna_decrypt(blob)), ("raw", lambda: raw_decrypt(big, iv)),
                     ("plain", lambda: plain_decrypt(plain_blob))]),
    ]:
        s = best_seconds(variants)
        mibs = {k: BIG / v / (1 << 20) for k, v in s.items()}
        r_raw, r_plain = s["raw"] / s["velna"], s["plain"] / s["velna"]
        print("%-10s %10.0f %10.0f %10.0f %8.3f %-3s %8.2f %-3s" % (
            direction, mibs["velna"], mibs["raw"], mibs["plain"],
            r_raw, judge("big_raw", "(a) %s vs raw" % direction, r_raw),
            r_plain, judge("big_plain", "(a) %s vs plain" % direction, r_plain)))
    del big, blob, plain_blob

    small = os.urandom(SMALL_CONTENT)
    blob = velna_encrypt(SMALL_HEADER, small)
    plain_blob = plain_encrypt(SMALL_HEADER, small, oid)
    print()
    print("(b) 1 KiB of content and a small JSON header, microseconds of CPU time per operation"
          " (medians of %d rounds)" % ROUNDS)
    print("%-10s %10s %10s %12s" % ("", "velna", "plain py", "plain/velna"))
    for direction, variants in [
        ("encrypt", [("velna", lambda: velna_encrypt(SMALL_HEADER, small)),
                     ("plain", lambda: plain_encrypt(SMALL_HEADER, small, oid))]),
        ("decrypt", [("velna", lambda: velna_decrypt(blob)), ("plain", lambda: plain_decrypt(plain_blob))]),
    ]:
        s = median_seconds(variants)
        ratio = s["plain"] / s["velna"]
        print("%-10s %10.2f %10.2f %8.2f %s" % (
            direction, s["velna"] * 1e6, s["plain"] * 1e6, ratio,
            judge("small_plain", "(b) %s vs plain" % direction, ratio)))

    print()
    if missed:
        print("Targets missed: " + "; ".join(missed))
        return 1
    print("Targets met: (a) >= %.1f of raw EVP and >= %.1fx plain Python; (b) >= %.1fx plain Python"
          % (TARGETS["big_raw"], TARGETS["big_plain"], TARGETS["small_plain"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
