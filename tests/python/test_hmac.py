"""velna.crypto.hmac: HMAC-SHA384 against RFC 4231 and the standard library."""
import functools
import hashlib
import hmac as std_hmac
import itertools
import os

import pytest

import velna.crypto as crypto
import velna.crypto.hmac as vhmac
from conftest import read_vectors

RFC4231 = [(bytes.fromhex(r["Key"]), bytes.fromhex(r["Msg"]), bytes.fromhex(r["MD"]))
           for r in read_vectors("HMAC/rfc-4231-sha384.txt")]


def test_module_binds_its_names_in_order():
    names = [n for n in vars(vhmac) if not n.startswith("__")]
    order = ["crypto", "HMAC", "FIPS_INDEX", "HMAC_KEY_LENGTH", "generate_key", "digest", "verify"]
    assert [n for n in names if n in order] == order


def test_module_constants_and_engine_table():
    assert vhmac.FIPS_INDEX == 0 and vhmac.HMAC_KEY_LENGTH == 128
    assert list(vhmac.HMAC) == [0]
    assert vhmac.crypto is crypto


def test_generate_key_is_128_fresh_bytes():
    keys = {vhmac.generate_key() for _ in range(4)}
    assert len(keys) == 4 and all(type(k) is bytes and len(k) == 128 for k in keys)


def test_generate_key_draws_from_crypto_random_as_bound_at_each_call(fake_random):
    assert vhmac.generate_key() == bytes(range(1, 129))
    assert fake_random == [128]


@pytest.mark.parametrize("key, msg, md", RFC4231, ids=["case%d" % i for i in (1, 2, 3, 4, 6, 7)])
def test_rfc4231_hmac_sha384(key, msg, md):
    assert vhmac.digest(key, msg) == md
    assert vhmac.verify(key, msg, md) is None


def test_rfc4231_case5_truncated_to_128_bits():
    assert len(RFC4231) == 6  # the file leaves out the truncation case
    tag = vhmac.digest(b"\x0c" * 20, b"Test With Truncation")
    assert tag[:16] == bytes.fromhex("3abf34c3503b2a23a46efc619baef897")


@pytest.mark.parametrize("key_len, data_len", [(0, 0), (1, 1), (128, 0), (129, 100), (300, 70000)])
def test_digest_equals_the_standard_library(key_len, data_len):
    key, data = os.urandom(key_len), os.urandom(data_len)
    tag = vhmac.digest(key, data)
    assert type(tag) is bytes and tag == std_hmac.new(key, data, hashlib.sha384).digest()


def flip(b, i=0):
    return b[:i] + bytes([b[i] ^ 1]) + b[i + 1:]


KEY, DATA = bytes(range(128)), b"authenticated ciphertext"
TAG = std_hmac.new(KEY, DATA, hashlib.sha384).digest()


@pytest.mark.parametrize("key, data, digest", [
    (KEY, DATA, flip(TAG, 47)),
    (KEY, flip(DATA), TAG),
    (flip(KEY, 5), DATA, TAG),
    (KEY, DATA, TAG[:47]),
    (KEY, DATA, b""),
    (KEY, DATA, TAG + b"\x00"),
    (KEY, DATA, TAG + TAG),
], ids=["digest bit", "data bit", "key bit", "47 bytes", "empty", "49 bytes", "twice"])
def test_verify_raises_invalid_signature(key, data, digest):
    with pytest.raises(crypto.InvalidSignature):
        vhmac.verify(key, data, digest)


def test_positional_and_keyword_calls_agree_in_any_order():
    values = {"private_key": KEY, "data": DATA}
    for order in itertools.permutations(values):
        assert vhmac.digest(**{n: values[n] for n in order}) == TAG
    values["digest"] = TAG
    for order in itertools.permutations(values):
        assert vhmac.verify(**{n: values[n] for n in order}) is None
    with pytest.raises(crypto.InvalidSignature):
        vhmac.verify(digest=TAG[:-1], data=DATA, private_key=KEY)


@pytest.mark.parametrize("args", [
    ("key", DATA), (KEY, "data"), (None, DATA),
])
def test_arguments_that_are_not_bytes_are_type_errors(args):
    with pytest.raises(TypeError):
        vhmac.digest(*args)
    with pytest.raises(TypeError):
        vhmac.verify(*args, TAG)


def test_verify_with_a_text_digest_is_a_type_error():
    with pytest.raises(TypeError):
        vhmac.verify(KEY, DATA, TAG.hex())


def test_the_engine_at_index_0_is_looked_up_at_each_call(monkeypatch):
    # An engine is a factory from key to HMAC context; swap in SHA-256.
    engine = functools.partial(vhmac.HMAC[0].func, algorithm=crypto.hashes.SHA256(),
                               backend=crypto.backend)
    monkeypatch.setitem(vhmac.HMAC, 0, engine)
    expected = std_hmac.new(KEY, DATA, hashlib.sha256).digest()
    assert vhmac.digest(KEY, DATA) == expected
    assert vhmac.verify(KEY, DATA, expected) is None
    with pytest.raises(crypto.InvalidSignature):
        vhmac.verify(KEY, DATA, TAG)
    monkeypatch.undo()
    assert vhmac.digest(KEY, DATA) == TAG


def test_digest_agrees_with_the_oracles_hmac(oracle):
    from cryptography.hazmat.primitives import hmac as their_hmac
    ctx = their_hmac.HMAC(KEY, oracle.hashes.SHA384())
    ctx.update(DATA)
    assert ctx.finalize() == vhmac.digest(KEY, DATA)
