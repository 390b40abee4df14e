"""velna.crypto.ecdsa and velna.crypto.ecdhe, cross-checked with
python3-cryptography in both directions."""
import pytest

import velna.crypto as crypto
import velna.crypto.ecdhe as ecdhe
import velna.crypto.ecdsa as ecdsa

DATA = b"the login challenge"


@pytest.fixture(scope="module")
def pair():
    return crypto.p384.generate_private_key(), crypto.p384.generate_private_key()


@pytest.fixture(scope="module")
def theirs(oracle):
    return oracle.ec.generate_private_key(oracle.ec.SECP384R1())


def ours_from_theirs(key, oracle):
    ser = oracle.serialization
    return crypto.p384.load_pem_private_key(
        key.private_bytes(ser.Encoding.PEM, ser.PrivateFormat.PKCS8, ser.NoEncryption()))


def theirs_from_ours_public(key, oracle):
    return oracle.serialization.load_der_public_key(crypto.to_der_public(key))


@pytest.mark.parametrize("module, name, first_line", [
    (ecdsa, "sign", "Signs some data."),
    (ecdsa, "verify", "Signature verification."),
    (ecdhe, "exchange", "Performs an Elliptic Curve Diffie Hellman key exchange."),
])
def test_help_texts(module, name, first_line):
    assert getattr(module, name).__doc__.splitlines()[0] == first_line


@pytest.mark.parametrize("module, order", [
    (ecdsa, ["ec", "hashes", "ECDSA", "sign", "verify"]),
    (ecdhe, ["ec", "ECDH", "exchange"]),
])
def test_modules_bind_their_names_in_order(module, order):
    assert [n for n in vars(module) if not n.startswith("__")] == order


def test_shared_algorithm_objects():
    assert isinstance(ecdsa.ECDSA, crypto.ec.ECDSA)
    assert isinstance(ecdsa.ECDSA.algorithm, crypto.hashes.SHA384)
    assert isinstance(ecdhe.ECDH, crypto.ec.ECDH)
    assert ecdsa.ec is crypto.ec and ecdsa.hashes is crypto.hashes and ecdhe.ec is crypto.ec


def test_signatures_verify_and_every_signature_is_fresh(pair):
    key = pair[0]
    a, b = ecdsa.sign(key, DATA), ecdsa.sign(private_key=key, data=DATA)
    assert type(a) is bytes and a[0] == 0x30 and a != b
    assert ecdsa.verify(key.public_key(), DATA, a) is None
    assert ecdsa.verify(signature=b, data=DATA, public_key=key.public_key()) is None
    assert ecdsa.verify(key.public_key(), DATA, key.sign(DATA, ecdsa.ECDSA)) is None
    assert ecdsa.verify(key.public_key(), b"", ecdsa.sign(key, b"")) is None


def flip(b, i):
    return b[:i] + bytes([b[i] ^ 1]) + b[i + 1:]


@pytest.mark.parametrize("change", ["data", "signature", "other key", "empty", "not DER"])
def test_verify_raises_invalid_signature(pair, change):
    key, other = pair
    sig = ecdsa.sign(key, DATA)
    public, data = key.public_key(), DATA
    if change == "data":
        data = flip(DATA, 3)
    elif change == "signature":
        sig = flip(sig, len(sig) - 1)
    elif change == "other key":
        public = other.public_key()
    elif change == "empty":
        sig = b""
    else:
        sig = b"\x30" * len(sig)
    with pytest.raises(crypto.InvalidSignature):
        ecdsa.verify(public, data, sig)


@pytest.mark.parametrize("data, signature", [("text", b"sig"), (DATA, "sig")])
def test_text_is_refused_with_a_type_error(pair, data, signature):
    with pytest.raises(TypeError):
        ecdsa.verify(pair[0].public_key(), data, signature)
    with pytest.raises(TypeError):
        ecdsa.sign(pair[0], "text")


def test_our_signatures_verify_with_the_oracle_and_theirs_with_us(pair, theirs, oracle):
    ours = pair[0]
    algo = oracle.ec.ECDSA(oracle.hashes.SHA384())
    theirs_from_ours_public(ours.public_key(), oracle).verify(ecdsa.sign(ours, DATA), DATA, algo)
    their_public = crypto.p384.load_der_public_key(theirs.public_key().public_bytes(
        oracle.serialization.Encoding.DER, oracle.serialization.PublicFormat.SubjectPublicKeyInfo))
    assert ecdsa.verify(their_public, DATA, theirs.sign(DATA, algo)) is None
    with pytest.raises(crypto.InvalidSignature):
        ecdsa.verify(their_public, DATA + b"!", theirs.sign(DATA, algo))


def test_exchange_gives_the_same_48_bytes_both_ways(pair):
    a, b = pair
    secret = ecdhe.exchange(a, b.public_key())
    assert type(secret) is bytes and len(secret) == 48
    assert ecdhe.exchange(private_key=b, public_key=a.public_key()) == secret
    assert a.exchange(ecdhe.ECDH, b.public_key()) == secret


def test_exchange_agrees_with_the_oracle_both_ways(pair, theirs, oracle):
    ours = pair[0]
    mine_with_theirs = ecdhe.exchange(ours, crypto.p384.load_pem_public_key(
        theirs.public_key().public_bytes(oracle.serialization.Encoding.PEM,
                                         oracle.serialization.PublicFormat.SubjectPublicKeyInfo)))
    theirs_with_mine = theirs.exchange(oracle.ec.ECDH(),
                                       theirs_from_ours_public(ours.public_key(), oracle))
    assert mine_with_theirs == theirs_with_mine
    # Their key loaded here exchanges as it does there.
    same_key_here = ours_from_theirs(theirs, oracle)
    assert ecdhe.exchange(same_key_here, ours.public_key()) == theirs_with_mine


def test_exchange_with_a_key_on_another_curve_is_a_value_error(pair):
    p256 = crypto.ec.generate_private_key(crypto.ec.SECP256R1(), crypto.backend)
    with pytest.raises(ValueError):
        ecdhe.exchange(pair[0], p256.public_key())


def test_numbers_are_equal_exactly_when_the_keys_are(pair, theirs, oracle):
    a, b = pair
    a_again = crypto.p384.load_pem_private_key(crypto.to_pem_private(a))
    assert a.private_numbers() == a_again.private_numbers()
    assert not a.private_numbers() != a_again.private_numbers()
    assert a.public_key().public_numbers() == a_again.public_key().public_numbers()
    assert a.private_numbers() != b.private_numbers()
    assert a.public_key().public_numbers() != b.public_key().public_numbers()
    assert a.private_numbers().public_numbers == a.public_key().public_numbers()
    assert hash(a.private_numbers()) == hash(a_again.private_numbers())
    # The values are those that the oracle reads from the same key.
    here = ours_from_theirs(theirs, oracle).private_numbers()
    there = theirs.private_numbers()
    assert (here.private_value, here.public_numbers.x, here.public_numbers.y) == \
        (there.private_value, there.public_numbers.x, there.public_numbers.y)
