"""velna.crypto.p384: key generation and loading with the P-384 curve check."""
import logging
import operator
import os
import pty
import select
import sys
import time

import pytest

import velna.crypto as crypto
import velna.crypto.p384 as p384
from conftest import VECTORS_DIR

PEM_PUBLIC = "Public Key is not an EC P384 key in PEM format."
PEM_PRIVATE = "Private Key is not an EC P384 in PEM foramt."
DER_PUBLIC = "Public Key is not an EC P384 key in DER format."


@pytest.mark.parametrize("name, first_line", [
    ("load_pem_public_key", "Loads a public Elliptic Curve P-384 key from PEM format."),
    ("load_pem_private_key", "Loads a private Elliptic Curve P-384 key from PEM format."),
    ("load_der_public_key", "Loads a public Elliptic Curve P-384 key from DER format."),
])
def test_help_texts(name, first_line):
    assert getattr(p384, name).__doc__.splitlines()[0] == first_line


def test_module_binds_its_names_in_order():
    assert [n for n in vars(p384) if not n.startswith("__")] == [
        "logging", "ec", "backend", "log", "generate_private_key", "load_pem_public_key",
        "load_pem_private_key", "load_der_public_key"]


def test_module_names():
    assert not p384.generate_private_key.__doc__
    assert p384.backend is crypto.backend and p384.ec is crypto.ec
    assert p384.log.name == "velna.crypto.p384"


def test_generated_keys_are_new_p384_keys_that_load_back():
    a, b = p384.generate_private_key(), p384.generate_private_key()
    assert isinstance(a, crypto.ec.EllipticCurvePrivateKey)
    assert isinstance(a.curve, crypto.ec.SECP384R1)
    assert a.private_numbers() != b.private_numbers()
    back = p384.load_pem_private_key(crypto.to_pem_private(a))
    assert back.public_key().public_numbers() == a.public_key().public_numbers()


@pytest.fixture(scope="module")
def keys(oracle):
    """PEM and DER forms of keys made by the oracle, by name."""
    ser, ec = oracle.serialization, oracle.ec
    out = {}
    curves = [("p256", ec.SECP256R1()), ("p384", ec.SECP384R1()), ("p521", ec.SECP521R1())]
    for name, curve in curves:
        k = ec.generate_private_key(curve)
        out[name + " private"] = k.private_bytes(ser.Encoding.PEM, ser.PrivateFormat.PKCS8,
                                                 ser.NoEncryption())
        out[name + " public"] = k.public_key().public_bytes(ser.Encoding.PEM,
                                                            ser.PublicFormat.SubjectPublicKeyInfo)
        out[name + " der"] = k.public_key().public_bytes(ser.Encoding.DER,
                                                         ser.PublicFormat.SubjectPublicKeyInfo)
        if name == "p384":
            out["p384 encrypted"] = k.private_bytes(ser.Encoding.PEM, ser.PrivateFormat.PKCS8,
                                                    ser.BestAvailableEncryption(b"secret"))
            out["p384 traditional"] = k.private_bytes(ser.Encoding.PEM,
                                                      ser.PrivateFormat.TraditionalOpenSSL,
                                                      ser.NoEncryption())
    for name, path in [("rsa public", "PEM_Serialization/rsa_public_key.pem"),
                       ("rsa private", "PKCS8/unenc-rsa-pkcs8.pem"),
                       ("rsa der", "DER_Serialization/rsa_public_key.der")]:
        with open(os.path.join(VECTORS_DIR, "asymmetric", path), "rb") as f:
            out[name] = f.read()
    return out


@pytest.mark.parametrize("loader, key, message", [
    ("load_pem_public_key", "p256 public", PEM_PUBLIC),
    ("load_pem_public_key", "p521 public", PEM_PUBLIC),
    ("load_pem_public_key", "rsa public", PEM_PUBLIC),
    ("load_pem_public_key", "p384 private", PEM_PUBLIC),
    ("load_pem_public_key", b"garbage", PEM_PUBLIC),
    ("load_pem_public_key", b"", PEM_PUBLIC),
    ("load_pem_public_key", None, PEM_PUBLIC),
    ("load_pem_public_key", 384, PEM_PUBLIC),
    ("load_pem_private_key", "p256 private", PEM_PRIVATE),
    ("load_pem_private_key", "rsa private", PEM_PRIVATE),
    ("load_pem_private_key", "p384 encrypted", PEM_PRIVATE),
    ("load_pem_private_key", "p384 public", PEM_PRIVATE),
    ("load_pem_private_key", b"", PEM_PRIVATE),
    ("load_pem_private_key", None, PEM_PRIVATE),
    ("load_der_public_key", "p256 der", DER_PUBLIC),
    ("load_der_public_key", "p521 der", DER_PUBLIC),
    ("load_der_public_key", "rsa der", DER_PUBLIC),
    ("load_der_public_key", "p384 public", DER_PUBLIC),
    ("load_der_public_key", "p384 public text", DER_PUBLIC),
    ("load_der_public_key", b"", DER_PUBLIC),
    ("load_der_public_key", None, DER_PUBLIC),
])
def test_refusals_raise_the_loaders_message_and_log_it_once(keys, log_lines, loader, key, message):
    if isinstance(key, str):
        key = keys[key[:-5]].decode() if key.endswith(" text") else keys[key]
    with pytest.raises(ValueError) as e:
        getattr(p384, loader)(key)
    assert type(e.value) is ValueError and e.value.args == (message,)
    assert log_lines("velna.crypto.p384") == [(logging.INFO, message)]


@pytest.mark.parametrize("loader, key", [
    ("load_pem_public_key", "p384 public"),
    ("load_pem_private_key", "p384 private"),
    ("load_pem_private_key", "p384 traditional"),
    ("load_der_public_key", "p384 der"),
])
def test_p384_keys_load_silently(keys, log_lines, loader, key):
    loaded = getattr(p384, loader)(key=keys[key])
    assert isinstance(loaded.curve, crypto.ec.SECP384R1)
    assert log_lines("velna.crypto.p384") == []


def test_pem_as_text_and_as_bytes_load_the_same_key(keys):
    for name, loader in [("p384 public", p384.load_pem_public_key),
                         ("p384 private", p384.load_pem_private_key)]:
        as_bytes, as_text = loader(keys[name]), loader(keys[name].decode())
        numbers = operator.methodcaller("public_numbers" if "public" in name else "private_numbers")
        assert numbers(as_bytes) == numbers(as_text)


def test_text_that_cannot_be_encoded_fails_before_the_guard(log_lines):
    with pytest.raises(UnicodeEncodeError):
        p384.load_pem_public_key("\ud800")
    assert log_lines("velna.crypto.p384") == []


def test_loaded_keys_equal_the_oracles_numbers(keys, oracle):
    theirs = oracle.serialization.load_pem_private_key(keys["p384 private"], None).private_numbers()
    ours = p384.load_pem_private_key(keys["p384 private"]).private_numbers()
    assert ours.private_value == theirs.private_value
    assert (ours.public_numbers.x, ours.public_numbers.y) == \
        (theirs.public_numbers.x, theirs.public_numbers.y)


def test_an_encrypted_key_is_refused_without_a_prompt_on_the_terminal(keys, tmp_path):
    # The child has a terminal of its own, so a prompt would show up there.
    path = tmp_path / "encrypted.pem"
    path.write_bytes(keys["p384 encrypted"])
    code = ("import sys, velna.crypto.p384 as p\n"
            "try:\n    p.load_pem_private_key(open(sys.argv[1], 'rb').read())\n"
            "except ValueError as e:\n    print('REFUSED', e)\n")
    import velna
    root = os.path.dirname(os.path.dirname(os.path.abspath(velna.__file__)))
    env = dict(os.environ, PYTHONPATH=root)
    pid, fd = pty.fork()
    if pid == 0:
        try:
            os.execve(sys.executable, [sys.executable, "-c", code, str(path)], env)
        finally:
            os._exit(127)
    output, answered, deadline = b"", False, time.monotonic() + 30
    try:
        while time.monotonic() < deadline:
            ready, _, _ = select.select([fd], [], [], 1)
            if not ready:
                continue
            try:
                chunk = os.read(fd, 1024)
            except OSError:
                break
            if not chunk:
                break
            output += chunk
            if b"phrase" in output.lower() and not answered:
                os.write(fd, b"\n")  # let the child finish; the test fails below
                answered = True
    finally:
        os.close(fd)
        _, status = os.waitpid(pid, 0)
    assert b"phrase" not in output.lower()
    assert b"REFUSED " + PEM_PRIVATE.encode() in output, output
    assert os.waitstatus_to_exitcode(status) == 0
