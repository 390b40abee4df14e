"""velna.crypto.keys: keys, key rings and the schema of stored public-key rows.
python3-cryptography is the independent oracle for the key material."""
import logging
import types
import uuid

import pytest

import velna.crypto as crypto
import velna.crypto.keys as keys
from velna.crypto.keys import AuthKey, DerivationKey, Key, KeyRing, KeyRingSchema, KeyType

UID = uuid.UUID("0b5c7a0e-8a51-4d0c-9f43-7d2b7e1c6a11")
OTHER = uuid.UUID("ffffffff-8a51-4d0c-9f43-7d2b7e1c6a11")


@pytest.fixture(scope="module")
def pems():
    """PEM texts of one generated signing key: private (text) and public (bytes)."""
    key = AuthKey()
    return crypto.to_pem_private(key.private).decode(), crypto.to_pem_public(key.public)


def test_key_kinds():
    assert (KeyType.AUTH, KeyType.DERIVATION) == ("signingKeys", "derivationKeys")
    assert Key.size == AuthKey.size == 32


@pytest.mark.parametrize(
    "private,public,halves",
    [("priv", None, (True, True)), ("priv", "", (True, True)), (None, "pub", (False, True)),
     (b"", None, (False, False)), (None, None, (False, False))],
)
def test_key_construction(pems, private, public, halves):
    given = {"priv": pems[0], "pub": pems[1]}
    k = Key(KeyType.DERIVATION, private=given.get(private, private), public=given.get(public, public))
    assert (k.type, k.active) == ("derivationKeys", True)
    assert (k.private is not None, k.public is not None) == halves
    assert repr(k) == "<derivationKeys Private: {} Public: {}>".format(*halves)
    assert not hasattr(k, "index") and not hasattr(k, "user_id")
    if halves[0]:
        assert crypto.to_pem_public(k.public) == pems[1]


def test_both_halves_are_refused_before_anything_is_set(pems):
    with pytest.raises(ValueError, match=r"^Provide either private or public key material, not both\.$"):
        Key(KeyType.AUTH, pems[0], pems[1])


@pytest.mark.parametrize("argument,message", [
    ("private", "Private Key is not an EC P384 in PEM foramt."),
    ("public", "Public Key is not an EC P384 key in PEM format."),
])
def test_unloadable_key_material_is_refused_with_the_loader_message(pems, log_lines, argument, message, oracle):
    p256 = oracle.ec.generate_private_key(oracle.ec.SECP256R1()).private_bytes(
        oracle.serialization.Encoding.PEM, oracle.serialization.PrivateFormat.PKCS8,
        oracle.serialization.NoEncryption())
    wrong = {"private": [pems[1], p256, "garbage", 5], "public": [pems[0].encode(), "garbage"]}[argument]
    for value in wrong:
        with pytest.raises(ValueError) as info:
            Key(KeyType.AUTH, **{argument: value})
        assert str(info.value) == message
    assert log_lines("velna.crypto.p384") == [(logging.INFO, message)] * len(wrong)
    assert log_lines("velna.crypto.keys") == []


def test_key_equality(pems):
    a, b = Key(KeyType.AUTH, private=pems[0]), Key(KeyType.AUTH, private=pems[0].encode())
    assert a == b and not a != b
    a.index, a.user_id = 3, UID
    assert a == b
    b.active = False
    assert a != b and not a == b
    assert Key(KeyType.AUTH, private=pems[0]) != Key(KeyType.AUTH, public=pems[1])
    assert Key(KeyType.AUTH, public=pems[1]) == Key(KeyType.AUTH, public=pems[1])
    assert Key(KeyType.AUTH, public=pems[1]) != Key(KeyType.DERIVATION, public=pems[1])
    empty = Key(KeyType.AUTH)
    assert empty != empty
    for other in (None, pems[0], types.SimpleNamespace(type="signingKeys", active=True)):
        assert (a == other) is False and (a != other) is True


def test_equality_tests_the_class_of_the_left_key(pems):
    plain = Key(KeyType.AUTH, private=pems[0])
    auth = AuthKey()
    auth.private = plain.private
    assert Key.__eq__(plain, auth) is True
    assert AuthKey.__eq__(auth, plain) is False
    assert AuthKey.__ne__(auth, plain) is True


def test_generated_keys(oracle):
    a, d = AuthKey(), DerivationKey()
    assert (a.type, d.type, a.active, d.active) == ("signingKeys", "derivationKeys", True, True)
    assert isinstance(a, Key) and isinstance(d, Key)
    assert a != AuthKey() and a != d
    assert not hasattr(a, "index") and not hasattr(d, "user_id")
    assert a.private.curve.name == "secp384r1"
    assert crypto.to_pem_public(a.public) == crypto.to_pem_public(a.private.public_key())


def test_keys_cross_load_with_the_oracle_byte_for_byte(oracle):
    ser = oracle.serialization
    ours = AuthKey()
    pem = crypto.to_pem_private(ours.private)
    theirs = ser.load_pem_private_key(pem, None)
    assert theirs.private_bytes(ser.Encoding.PEM, ser.PrivateFormat.PKCS8, ser.NoEncryption()) == pem
    assert theirs.public_key().public_bytes(ser.Encoding.PEM, ser.PublicFormat.SubjectPublicKeyInfo) == \
        crypto.to_pem_public(ours.public)
    assert theirs.private_numbers().private_value == ours.private.private_numbers().private_value

    other = oracle.ec.generate_private_key(oracle.ec.SECP384R1())
    pem = other.private_bytes(ser.Encoding.PEM, ser.PrivateFormat.PKCS8, ser.NoEncryption())
    loaded = Key(KeyType.DERIVATION, private=pem)
    assert crypto.to_pem_private(loaded.private) == pem
    pub_pem = other.public_key().public_bytes(ser.Encoding.PEM, ser.PublicFormat.SubjectPublicKeyInfo)
    assert crypto.to_pem_public(loaded.public) == pub_pem
    assert crypto.to_pem_public(Key(KeyType.DERIVATION, public=pub_pem).public) == pub_pem
    # A traditional (SEC 1) private key loads as well.
    sec1 = other.private_bytes(ser.Encoding.PEM, ser.PrivateFormat.TraditionalOpenSSL, ser.NoEncryption())
    assert Key(KeyType.AUTH, private=sec1) == loaded.__class__(KeyType.AUTH, private=pem)


def test_loaders_and_generator_are_looked_up_at_each_use(monkeypatch, pems):
    calls = []
    real = crypto.p384

    class P384:
        def load_pem_private_key(self, key):
            calls.append("private")
            return real.load_pem_private_key(key)

        def load_pem_public_key(self, key):
            calls.append("public")
            return real.load_pem_public_key(key)

    monkeypatch.setattr(crypto, "p384", P384())
    Key(KeyType.AUTH, private=pems[0])
    Key(KeyType.AUTH, public=pems[1])
    assert calls == ["private", "public"]

    class EC:
        SECP384R1 = crypto.ec.SECP384R1

        def generate_private_key(self, curve, backend):
            calls.append((type(curve).__name__, backend))
            return real.generate_private_key()

    monkeypatch.setattr(crypto, "ec", EC())
    monkeypatch.setattr(crypto, "backend", "the backend")
    DerivationKey()
    assert calls[-1] == ("SECP384R1", "the backend")


def test_the_module_name_crypto_is_looked_up_at_each_use(monkeypatch, pems):
    """Replacing the module's own name crypto reroutes loading and generation."""
    calls = []
    real = crypto.p384
    curve = type("SECP384R1", (), {})

    def loader(kind):
        def load(key):
            calls.append(kind)
            return getattr(real, "load_pem_%s_key" % kind)(key)
        return load

    def generate_private_key(given_curve, backend):
        calls.append((type(given_curve), backend))
        return real.generate_private_key()

    stand_in = types.SimpleNamespace(
        p384=types.SimpleNamespace(load_pem_private_key=loader("private"),
                                   load_pem_public_key=loader("public")),
        ec=types.SimpleNamespace(SECP384R1=curve, generate_private_key=generate_private_key),
        backend="stand-in backend")
    monkeypatch.setattr(keys, "crypto", stand_in)
    assert Key(KeyType.AUTH, private=pems[0]).private is not None
    assert Key(KeyType.AUTH, public=pems[1]).public is not None
    assert AuthKey().type == KeyType.AUTH
    assert calls == ["private", "public", (curve, "stand-in backend")]


# --- key ring ------------------------------------------------------------------------


def key_record(pem, index, active=True):
    return {"active": active, "index": index, "isPublic": False, "key": pem}


@pytest.fixture(scope="module")
def key_file():
    """A decrypted key file stand-in: signing keys 1 (first) and 0, one derivation key."""
    s0, s1, d0 = AuthKey(), AuthKey(), DerivationKey()
    pem = lambda k: crypto.to_pem_private(k.private).decode()  # noqa: E731
    data = {
        "userId": str(UID).upper(),
        "derivationKeys": {"0": key_record(pem(d0), 0)},
        "signingKeys": {"1": key_record(pem(s1), 1), "0": key_record(pem(s0), 0, active=False)},
    }
    return types.SimpleNamespace(encrypted=False, data=data, keys=(s0, s1, d0))


def test_ring_from_a_key_file_keeps_the_file_order(key_file):
    ring = KeyRing(lockbox=key_file)
    s0, s1, d0 = key_file.keys
    assert list(ring) == ["signingKeys", "derivationKeys"] and isinstance(ring, dict)
    assert list(ring[KeyType.AUTH]) == [1, 0]
    assert ring[KeyType.AUTH][1].private.private_numbers() == s1.private.private_numbers()
    assert ring.get_first_valid(KeyType.AUTH) is ring[KeyType.AUTH][1]
    assert ring.get_first_valid(KeyType.DERIVATION) is ring[KeyType.DERIVATION][0]
    assert ring.user_id == UID and all(k.user_id == UID for s in ring.values() for k in s.values())
    assert [k.active for k in ring[KeyType.AUTH].values()] == [True, False]
    ring[KeyType.AUTH][1].active = 0
    assert ring.get_first_valid(KeyType.AUTH) is None
    with pytest.raises(KeyError):
        ring.get_first_valid("other")


def test_ring_refuses_an_encrypted_key_file_and_missing_members(key_file):
    with pytest.raises(ValueError, match=r"^Can only accept decrypted key files\.$"):
        KeyRing(lockbox=types.SimpleNamespace(encrypted=True, data=b"..."))
    for drop, missing in [("signingKeys", "signingKeys"), ("derivationKeys", "derivationKeys")]:
        data = {k: v for k, v in key_file.data.items() if k != drop}
        with pytest.raises(KeyError, match=missing):
            KeyRing(lockbox=types.SimpleNamespace(encrypted=False, data=data))
    record = dict(key_file.data["derivationKeys"]["0"])
    del record["active"]
    data = dict(key_file.data, derivationKeys={"0": record})
    with pytest.raises(KeyError, match="active"):
        KeyRing(lockbox=types.SimpleNamespace(encrypted=False, data=data))
    data = dict(key_file.data, userId="not an id")
    with pytest.raises(ValueError):
        KeyRing(lockbox=types.SimpleNamespace(encrypted=False, data=data))


def test_ring_from_public_key_records(pems):
    records = [
        {"keyType": "auth", "pubKey": pems[1], "index": 0, "active": False, "userId": str(OTHER)},
        {"keyType": "signing", "pubKey": pems[1].decode(), "index": 0, "active": True},
        {"keyType": "Auth", "pubKey": pems[1], "index": 2, "active": True},
        {"keyType": "auth", "pubKey": "", "index": 1, "active": True},
        {"keyType": "auth", "pubKey": pems[1], "index": 0, "active": True},
    ]
    ring = KeyRing(pub_keys=records, user_id=str(UID))
    assert list(ring[KeyType.AUTH]) == [0, 1]
    assert list(ring[KeyType.DERIVATION]) == [0, 2]
    assert ring[KeyType.AUTH][0].active is True  # the later record replaced the first in place
    assert ring[KeyType.AUTH][1].public is None
    assert ring.user_id == UID and {k.user_id for s in ring.values() for k in s.values()} == {UID}
    assert repr(ring).startswith("{'signingKeys': {0: <signingKeys Private: False Public: True>")


def test_ring_edge_cases(key_file):
    empty = KeyRing(pub_keys=[], user_id=UID)
    assert (empty.user_id, dict(empty)) == (None, {"signingKeys": {}, "derivationKeys": {}})
    with pytest.raises(AssertionError) as info:
        KeyRing(pub_keys=[])
    assert info.value.args == ()  # a bare assertion: no message at all
    with pytest.raises(TypeError):
        KeyRing(user_id=UID)
    assert KeyRing(lockbox=key_file, pub_keys=[{"broken": True}]).user_id == UID


def test_ring_equality_compares_user_id_alone(key_file, pems):
    a = KeyRing(lockbox=key_file)
    b = KeyRing(pub_keys=[{"keyType": "auth", "pubKey": pems[1], "index": 5, "active": True}], user_id=UID)
    assert a == b and not a != b
    assert KeyRing(pub_keys=[], user_id=UID) == KeyRing(pub_keys=[], user_id=OTHER)
    assert (a == dict(a)) is False and a != dict(a)
    b.user_id = OTHER
    assert a != b


# --- schema of stored public-key rows ------------------------------------------------


def row(pems, key_type, index=0, active=True, user_id=UID):
    return types.SimpleNamespace(index=index, active=active, pub_key=pems[1], key_type=key_type, user_id=user_id)


def test_schema_loads_rows_into_a_key_ring(pems):
    rows = [row(pems, KeyType.DERIVATION, active=False), row(pems, KeyType.AUTH, user_id=OTHER),
            row(pems, "otherKind", index=1)]
    result = KeyRingSchema(many=True).load(rows)
    ring, errors = result
    assert errors == {} and result.data is ring and isinstance(ring, KeyRing)
    assert ring.user_id == UID
    assert list(ring[KeyType.AUTH]) == [0] and list(ring[KeyType.DERIVATION]) == [0, 1]
    assert ring.get_first_valid(KeyType.DERIVATION) is ring[KeyType.DERIVATION][1]
    assert all(k.user_id == UID for s in ring.values() for k in s.values())


def test_schema_hooks_write_public_key_records(pems):
    records = KeyRingSchema().make_dict([row(pems, KeyType.AUTH), row(pems, KeyType.DERIVATION, 3, False)], True)
    assert records == [
        {"index": 0, "active": True, "pubKey": pems[1], "keyType": "auth", "userId": str(UID)},
        {"index": 3, "active": False, "pubKey": pems[1], "keyType": "signing", "userId": str(UID)},
    ]
    assert list(records[0]) == ["index", "active", "pubKey", "keyType", "userId"]


def test_schema_reports_bad_rows_without_a_ring(pems):
    bad = [row(pems, KeyType.AUTH), row(pems, KeyType.AUTH, index="x", active="maybe"), row(pems, KeyType.AUTH)]
    bad[2].index = None
    data, errors = KeyRingSchema(many=True).load(bad)
    assert errors == {1: {"index": ["Not a valid integer."], "active": ["Not a valid boolean."]},
                      2: {"index": ["Field may not be null."]}}
    assert isinstance(data, list) and not isinstance(data, KeyRing)
    with pytest.raises(keys.ValidationError) as info:
        KeyRingSchema(many=True, strict=True).load(bad[:2])
    assert info.value.messages == {1: {"index": ["Not a valid integer."], "active": ["Not a valid boolean."]}}


def test_schema_failures_that_pass_to_the_caller(pems):
    with pytest.raises(IndexError):
        KeyRingSchema(many=True).load([])
    with pytest.raises(AttributeError):
        KeyRingSchema(many=True).load([types.SimpleNamespace(index=0)])
    with pytest.raises(ValueError):
        KeyRingSchema(many=True).load([row(pems, KeyType.AUTH, user_id=None)])
    with pytest.raises(AssertionError):
        KeyRingSchema(many=True).load([row(pems, KeyType.AUTH, user_id="")])


def _pem(der, label="PRIVATE KEY"):
    import base64
    body = base64.encodebytes(der).decode().replace("\n", "")
    lines = [body[i:i + 64] for i in range(0, len(body), 64)]
    return "-----BEGIN {0}-----\n{1}\n-----END {0}-----\n".format(label, "\n".join(lines))


def test_private_keys_in_every_pkcs8_shape_load_alike(oracle):
    ser = oracle.serialization
    key = oracle.ec.generate_private_key(oracle.ec.SECP384R1())
    der = key.private_bytes(ser.Encoding.DER, ser.PrivateFormat.PKCS8, ser.NoEncryption())
    scalar = key.private_numbers().private_value.to_bytes(48, "big")
    ec_key = b"\x30\x35\x02\x01\x01\x04\x30" + scalar  # no public point, no parameters
    algorithm = bytes.fromhex("301006072a8648ce3d020106052b81040022")
    no_point = b"\x30\x4e\x02\x01\x00" + algorithm + b"\x04\x37" + ec_key
    point = key.public_key().public_numbers()
    for pem in (_pem(der), _pem(no_point), "leading text\n" + _pem(der)):
        loaded = Key(KeyType.AUTH, private=pem)
        assert loaded.private.private_numbers().private_value == key.private_numbers().private_value
        numbers = loaded.public.public_numbers()
        assert (numbers.x, numbers.y) == (point.x, point.y)
    off_curve = bytearray(der)
    off_curve[-1] ^= 1  # the last byte of the stored public point
    with pytest.raises(ValueError, match="^Private Key is not an EC P384 in PEM foramt.$"):
        Key(KeyType.AUTH, private=_pem(bytes(off_curve)))
