"""velna.crypto.aes: AES-CTR under fresh IVs, checked against published
vectors and python3-cryptography."""
import itertools
import os

import pytest

import velna.crypto as crypto
import velna.crypto.aes as aes


def oracle_ctr(key, iv, data):
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
    ctx = Cipher(algorithms.AES(key), modes.CTR(iv)).encryptor()
    return ctx.update(data) + ctx.finalize()


def oracle_ecb(key, block):
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
    ctx = Cipher(algorithms.AES(key), modes.ECB()).encryptor()
    return ctx.update(block) + ctx.finalize()


def test_module_binds_its_names_in_order():
    names = [n for n in vars(aes) if not n.startswith("__")]
    order = ["pad", "crypto", "NONCE_LENGTH", "DecryptionError", "decrypt", "encrypt", "create_iv",
             "create_key"]
    assert [n for n in names if n in order] == order


def test_module_constants_and_error_class():
    assert aes.NONCE_LENGTH == 8
    assert aes.crypto is crypto
    assert aes.DecryptionError.__bases__ == (Exception,)
    assert "decryption" in aes.DecryptionError.__doc__.lower()
    assert str(aes.DecryptionError("bad")) == "bad"


def test_create_iv_is_eight_fresh_bytes_then_eight_zeros():
    ivs = [aes.create_iv() for _ in range(4)]
    assert all(type(iv) is bytes and len(iv) == 16 and iv[8:] == bytes(8) for iv in ivs)
    assert len({iv[:8] for iv in ivs}) == 4


def test_create_key_is_32_fresh_bytes():
    keys = {aes.create_key() for _ in range(4)}
    assert len(keys) == 4 and all(len(k) == 32 for k in keys)


def test_iv_and_key_come_from_crypto_random_as_bound_at_each_call(fake_random):
    assert aes.create_iv() == bytes(range(1, 9)) + bytes(8)
    assert aes.create_key() == bytes(range(1, 33))
    assert fake_random == [8, 32]


def test_nist_sp800_38a_ctr_aes256():
    # F.5.5 encrypts, F.5.6 decrypts the same blocks.
    key = bytes.fromhex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4")
    iv = bytes.fromhex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff")
    pt = bytes.fromhex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                       "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710")
    ct = bytes.fromhex("601ec313775789a5b7a7f504bbf3d228f443e3ca4d62b59aca84e990cacaf5c5"
                       "2b0930daa23de94ce87017ba2d84988ddfc9c58db67aada613c2dd08457941a6")
    assert aes.encrypt(pt, key, iv) == ct
    assert aes.decrypt(ct, key, iv) == pt


def test_zero_blocks_under_a_created_iv_are_the_encrypted_counter_blocks():
    key, iv = aes.create_key(), aes.create_iv()
    out = aes.encrypt(bytes(32), key, iv)
    assert out == oracle_ecb(key, iv) + oracle_ecb(key, iv[:15] + b"\x01")


@pytest.mark.parametrize("length", [0, 1, 15, 16, 17, 31, 1000, 70000])
@pytest.mark.parametrize("key_size", [16, 24, 32])
def test_round_trip_keeps_the_length_and_agrees_with_the_oracle(length, key_size):
    key, iv, data = os.urandom(key_size), os.urandom(16), os.urandom(length)
    out = aes.encrypt(data, key, iv)
    assert len(out) == length and out == oracle_ctr(key, iv, data)
    assert aes.decrypt(out, key, iv) == data
    assert aes.encrypt(out, key, iv) == data


def test_positional_and_keyword_calls_agree_in_any_order():
    data, key, iv = b"some plaintext", aes.create_key(), aes.create_iv()
    expected = aes.encrypt(data, key, iv)
    values = {"data": data, "cipher_key": key, "iv": iv}
    for fn in (aes.encrypt, aes.decrypt):
        for order in itertools.permutations(values):
            assert fn(**{name: values[name] for name in order}) == expected
    assert aes.encrypt(data, key, iv=iv) == expected


@pytest.mark.parametrize("data, key, iv, error", [
    (b"x", bytes(31), bytes(16), ValueError),
    (b"x", bytes(33), bytes(16), ValueError),
    (b"x", bytes(64), bytes(16), ValueError),
    (b"x", b"", bytes(16), ValueError),
    (b"x", bytes(32), bytes(15), ValueError),
    (b"x", bytes(32), bytes(17), ValueError),
    (b"x", bytes(32), b"", ValueError),
    ("text", bytes(32), bytes(16), TypeError),
    (b"x", "k" * 32, bytes(16), TypeError),
    (b"x", bytes(32), "i" * 16, TypeError),
    (None, bytes(32), bytes(16), TypeError),
])
@pytest.mark.parametrize("fn", [aes.encrypt, aes.decrypt])
def test_refused_arguments(fn, data, key, iv, error):
    with pytest.raises(error):
        fn(data, key, iv)


def test_a_wrong_key_or_iv_gives_other_bytes_of_the_same_length_without_error():
    key, iv, data = aes.create_key(), aes.create_iv(), b"secret message!!!"
    ct = aes.encrypt(data, key, iv)
    for wrong_key, wrong_iv in [(aes.create_key(), iv), (key, aes.create_iv())]:
        out = aes.decrypt(ct, wrong_key, wrong_iv)
        assert len(out) == len(data) and out != data


@pytest.mark.parametrize("args", [(), (b"x", bytes(32)), (b"x", bytes(32), bytes(16), None)])
def test_wrong_argument_counts_are_argument_errors(args):
    with pytest.raises(TypeError):
        aes.encrypt(*args)
