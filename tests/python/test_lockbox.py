"""velna.crypto.lockbox: key files and their rescue portion.

The independent twin below reads and writes key files with struct,
hashlib.pbkdf2_hmac, python3-cryptography's AES-CTR and simplejson only."""
import hashlib
import os
import struct
import threading
import uuid

import pytest
import simplejson
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

import velna._cryptolib as lib
import velna.crypto as crypto
import velna.crypto.aes as aes
import velna.crypto.lockbox as lockbox
import velna.crypto.pbkdf2 as pbkdf2
from velna.crypto.keys import AuthKey, DerivationKey, Key, KeyRing, KeyType
from velna.crypto.lockbox import KF, KFSection, Lockbox, LockboxRescue

UID = uuid.UUID("0b5c7a0e-8a51-4d0c-9f43-7d2b7e1c6a11")
PASSWORD = "Corr3ct horse!"
PASSPHRASE = "battery staple ünd mehr"
HASH = hashlib.sha384(PASSWORD.encode()).hexdigest()
KEY_FAILURE = "Failed to decrypt the key file.  Check password."
RESCUE_FAILURE = "Failed to decrypt the key file rescue.  Check passphrase."


# --- the independent twin -------------------------------------------------------------


def twin_ctr(key, iv, data):
    c = Cipher(algorithms.AES(key), modes.CTR(iv)).encryptor()
    return c.update(data) + c.finalize()


def twin_seal(obj, secret, salt=None):
    salt = os.urandom(8) if salt is None else salt
    iv = os.urandom(8) + bytes(8)
    key = hashlib.pbkdf2_hmac("sha384", secret.encode("utf-8"), salt, 100000, 32)
    ct = twin_ctr(key, iv, simplejson.dumps(obj).encode("utf-8"))
    return struct.pack("<Q", len(salt)) + salt + struct.pack("<Q", len(iv)) + iv + struct.pack("<Q", len(ct)) + ct


def twin_section(buf, offset):
    fields = []
    for _ in range(3):
        (n,) = struct.unpack_from("<Q", buf, offset)
        fields.append(bytes(buf[offset + 8:offset + 8 + n]))
        offset += 8 + n
    return fields, offset


def twin_open(fields, secret):
    salt, iv, ct = fields
    key = hashlib.pbkdf2_hmac("sha384", secret.encode("utf-8"), salt, 100000, 32)
    text = twin_ctr(key, iv, ct)
    return text, simplejson.loads(text.decode("utf-8"))


def twin_read(data, password=None, passphrase=None):
    version, _, _ = struct.unpack_from("<QQQ", data, 0)
    assert version == 1
    key_ring, end = twin_section(data, 24)
    rescue, _ = twin_section(data, end)
    if passphrase is not None:
        return twin_open(rescue, passphrase)
    return twin_open(key_ring, hashlib.sha384(password.encode()).hexdigest())


def twin_write(plaintext, password, passphrase, version=1):
    secret = hashlib.sha384(password.encode()).hexdigest()
    k = twin_seal(plaintext, secret)
    r = twin_seal({"password": secret}, passphrase)
    return struct.pack("<QQQ", version, len(k), len(r)) + k + r


# --- fixtures ----------------------------------------------------------------------


@pytest.fixture(scope="module")
def key_pair():
    return AuthKey(), DerivationKey()


@pytest.fixture(scope="module")
def written(key_pair):
    """(key file bytes, the plaintext it was sealed from)."""
    box = Lockbox(signing_key=key_pair[0], derivation_key=key_pair[1], user_id=UID)
    plaintext = simplejson.loads(simplejson.dumps(box.data))
    box.encrypt(password=PASSWORD, passphrase=PASSPHRASE)
    return box.data, plaintext


def snapshot(box):
    return (box.encrypted, box._enc_data, box._ptxt_data, box.user_id)


# --- the format, both ways -----------------------------------------------------------


def test_new_key_file_plaintext(key_pair):
    signing, derivation = key_pair
    box = Lockbox(signing_key=signing, derivation_key=derivation, user_id=UID)
    assert box.encrypted is False and box.user_id == UID
    assert list(box.data) == ["userId", "derivationKeys", "signingKeys"]
    assert box.data["userId"] == str(UID)
    for member, key in (("derivationKeys", derivation), ("signingKeys", signing)):
        assert list(box.data[member]) == ["0"]
        record = box.data[member]["0"]
        assert list(record) == ["active", "index", "isPublic", "key"]
        assert record == {"active": True, "index": 0, "isPublic": False,
                          "key": crypto.to_pem_private(key.private).decode()}


def test_key_file_written_here_opens_in_the_twin(written):
    data, plaintext = written
    text, opened = twin_read(data, password=PASSWORD)
    assert text == simplejson.dumps(plaintext).encode()
    assert list(opened) == list(plaintext) and opened == plaintext
    text, rescue = twin_read(data, passphrase=PASSPHRASE)
    assert rescue == {"password": HASH} and len(text) == 112


def test_key_file_layout(written):
    data, plaintext = written
    k = 48 + len(simplejson.dumps(plaintext))
    assert data[:8] == b"\x01" + bytes(7)
    assert struct.unpack_from("<QQ", data, 8) == (k, 160)
    assert len(data) == 24 + k + 160
    for offset in (24, 24 + k):
        assert struct.unpack_from("<Q", data, offset)[0] == 8
        assert struct.unpack_from("<Q", data, offset + 16)[0] == 16
        assert data[offset + 32:offset + 40] == bytes(8)
    record = KF.parse(data)
    assert (record.version, record.key_ring_length, record.rescue_length) == (1, k, 160)
    assert KFSection.build(record.rescue) == data[24 + k:]
    assert KF.build(record) == data


def test_file_written_by_the_twin_opens_here_keeping_member_order(key_pair):
    signing, derivation = key_pair
    pem = lambda key: crypto.to_pem_private(key.private).decode()  # noqa: E731
    plaintext = {
        "signingKeys": {"1": {"key": pem(signing), "index": 1, "active": True, "isPublic": False}},
        "note": "clé \U0001F511",
        "userId": str(UID).upper(),
        "derivationKeys": {"0": {"active": False, "index": 0, "isPublic": False, "key": pem(derivation)}},
    }
    data = twin_write(plaintext, PASSWORD, PASSPHRASE)
    for secret in (PASSWORD, Lockbox(enc_data=data).rescue.get_password(PASSPHRASE)):
        box = Lockbox(enc_data=data).decrypt(secret)
        assert box.data == plaintext and list(box.data) == list(plaintext)
        assert box.user_id == UID and box.encrypted is False
    ring = KeyRing(lockbox=box)
    assert ring[KeyType.AUTH][1] == Key(KeyType.AUTH, private=pem(signing))
    assert ring.get_first_valid(KeyType.DERIVATION) is None
    # Sealed again here, the twin reads the same members in the same order.
    box.data["added"] = [1, 2]
    assert box.encrypt("other", "other passphrase") is box
    _, opened = twin_read(box.data, password="other")
    assert list(opened) == list(plaintext) + ["added"]


def test_encrypt_and_decrypt_transitions(key_pair, written):
    data, plaintext = written
    box = Lockbox(enc_data=data, user_id=str(UID))
    assert box.encrypted is True and box.data is data and box.version == 1
    assert box.checksum == hashlib.sha384(data).hexdigest()
    assert box.encrypt(PASSWORD, PASSPHRASE) is None and box.data is data
    assert box.decrypt(PASSWORD) is box
    assert box.data == plaintext and box.checksum == hashlib.sha384(data).hexdigest()
    assert box.decrypt(PASSWORD) is None
    assert KFSection.build(KF.parse(data).rescue) == box.rescue.data
    assert box.encrypt(PASSWORD, PASSPHRASE) is box
    assert box.data != data and len(box.data) == len(data)
    assert Lockbox(enc_data=box.data).decrypt(HASH).data == plaintext


# --- failures leave the key file as it was -------------------------------------------


@pytest.mark.parametrize("password", ["wrong password", HASH.replace("a", "b") if "a" in HASH else "0" * 96, None, 5])
def test_wrong_password_is_a_decryption_error_and_changes_nothing(written, password):
    box = Lockbox(enc_data=written[0])
    before = snapshot(box)
    with pytest.raises(aes.DecryptionError) as info:
        box.decrypt(password)
    assert str(info.value) == KEY_FAILURE
    assert snapshot(box) == before and box.checksum == hashlib.sha384(written[0]).hexdigest()


def test_wrong_passphrase_is_a_decryption_error_and_the_rescue_stays_sealed(written):
    rescue = Lockbox(enc_data=written[0]).rescue
    with pytest.raises(aes.DecryptionError) as info:
        rescue.get_password("wrong passphrase")
    assert str(info.value) == RESCUE_FAILURE
    assert rescue.encrypted is True and not hasattr(rescue, "_ptxt_data")
    own = LockboxRescue(password=HASH).encrypt("right")
    with pytest.raises(aes.DecryptionError):
        own.get_password("wrong")
    assert own.encrypted is True and own.data[:8] == struct.pack("<Q", 8)


@pytest.mark.parametrize("plaintext,error", [
    ({"signingKeys": {}}, KeyError),
    ([1, 2], TypeError),
    ({"userId": "not an identifier"}, ValueError),
])
def test_bad_plaintext_fails_without_changing_the_key_file(plaintext, error):
    box = Lockbox(enc_data=twin_write(plaintext, PASSWORD, PASSPHRASE))
    before = snapshot(box)
    with pytest.raises(error):
        box.decrypt(PASSWORD)
    assert snapshot(box) == before


def test_unknown_version_is_a_key_error_before_any_derivation(written, monkeypatch):
    data = struct.pack("<Q", 2) + written[0][8:]
    derived = []

    class Counting:
        def __init__(self, salt):
            self.engine = pbkdf2.V1_PBKDF2(salt=salt)

        def derive(self, secret):
            derived.append(secret)
            return self.engine.derive(secret)

    monkeypatch.setattr(pbkdf2, "engines", {1: Counting})
    box = Lockbox(enc_data=data)
    before = snapshot(box)
    with pytest.raises(KeyError) as info:
        box.decrypt(PASSWORD)
    assert info.value.args == (2,) and snapshot(box) == before
    rescue = box.rescue
    assert rescue.version == 2
    with pytest.raises(KeyError):
        rescue.get_password(PASSPHRASE)
    with pytest.raises(KeyError):
        LockboxRescue(password=HASH, version=2).encrypt(PASSPHRASE)
    assert derived == []
    assert Lockbox(enc_data=written[0]).decrypt(PASSWORD).user_id == UID
    assert len(derived) == 1


def test_truncation_at_every_offset_is_a_parse_error(written):
    data = written[0]
    for n in range(1, len(data)):
        box = Lockbox(enc_data=data[:n])
        with pytest.raises(lib.ParseError):
            box.decrypt(PASSWORD)
        assert box.encrypted is True and box._ptxt_data is None
        with pytest.raises(lib.ParseError):
            KF.parse(data[:n])


@pytest.mark.parametrize("offset", [24, 40, 64, "rescue_salt", "rescue_encrypted"])
@pytest.mark.parametrize("value", [2**64 - 1, 2**32 + 16])
def test_hostile_lengths_are_parse_errors(written, offset, value):
    data = bytearray(written[0])
    k = struct.unpack_from("<Q", data, 8)[0]
    offset = {"rescue_salt": 24 + k, "rescue_encrypted": 24 + k + 40}.get(offset, offset)
    struct.pack_into("<Q", data, offset, value)
    with pytest.raises(lib.ParseError):
        Lockbox(enc_data=bytes(data)).decrypt(PASSWORD)
    with pytest.raises(lib.ParseError):
        Lockbox(enc_data=bytes(data)).rescue.get_password(PASSPHRASE)


def test_header_lengths_and_trailing_bytes_are_ignored(written):
    data = bytearray(written[0])
    struct.pack_into("<QQ", data, 8, 2**64 - 1, 7)
    data = bytes(data) + b"trailing garbage"
    assert Lockbox(enc_data=data).decrypt(PASSWORD).data == written[1]
    assert Lockbox(enc_data=data).rescue.get_password(PASSPHRASE) == HASH


def test_section_layout_by_hand():
    sealed = twin_seal({"password": HASH}, PASSPHRASE, salt=bytes(range(32)))
    record = KFSection.parse(sealed + b"tail")
    assert (record.salt_length, record.iv_length, record.encrypted_length) == (32, 16, 112)
    assert KFSection.build(record) == sealed
    assert LockboxRescue(enc_data=sealed).get_password(PASSPHRASE) == HASH
    assert LockboxRescue(enc_data=twin_seal({"password": HASH}, PASSPHRASE, salt=b"")).get_password(
        PASSPHRASE) == HASH
    record.salt_length = 31
    with pytest.raises(lib.BuildError):
        KFSection.build(record)
    short_iv = dict(KFSection.parse(sealed), iv=bytes(12), iv_length=12)
    with pytest.raises(ValueError):
        LockboxRescue(enc_data=KFSection.build(short_iv)).get_password(PASSPHRASE)


# --- construction, equality and the rescue portion -----------------------------------


def test_construction_rules(key_pair):
    signing, derivation = key_pair
    with pytest.raises(ValueError, match="user_id"):
        Lockbox(signing_key=signing, derivation_key=derivation)
    upper = str(UID).upper()
    box = Lockbox(None, signing, derivation, upper)
    assert box.data["userId"] == upper and box.user_id == UID
    signing.index = 3
    assert list(Lockbox(signing_key=signing, derivation_key=derivation, user_id=UID).data["signingKeys"]) == ["0"]
    with pytest.raises(AttributeError):
        Lockbox(signing_key=signing, user_id=UID)
    with pytest.raises(ValueError, match="^Can only handle EllipticCurvePrivateKey keys.$"):
        Lockbox(signing_key=signing, derivation_key=Key(KeyType.DERIVATION), user_id=UID)
    with pytest.raises(ValueError):
        Lockbox(enc_data=b"x", user_id="not an identifier")
    assert Lockbox(enc_data=b"x", signing_key=signing).encrypted is True
    with pytest.raises(ValueError):
        Lockbox(enc_data=b"", user_id=None)
    with pytest.raises(AttributeError):
        Lockbox(enc_data=b"", user_id=UID)


class Opaque:
    """An owner that UUID passes unchanged but whose text is no identifier."""

    def __str__(self):
        return "user 5"


@pytest.mark.parametrize("user_id", [None, "", 5, Opaque()])
def test_a_new_key_file_refuses_an_owner_it_could_not_read_back(key_pair, user_id):
    with pytest.raises(ValueError, match="user_id"):
        Lockbox(signing_key=key_pair[0], derivation_key=key_pair[1], user_id=user_id)


@pytest.mark.parametrize("user_id", [UID, str(UID).upper(), str(UID).replace("-", ""),
                                     "{%s}" % UID])
def test_a_new_key_file_keeps_any_owner_text_that_reads_back(key_pair, user_id):
    box = Lockbox(signing_key=key_pair[0], derivation_key=key_pair[1], user_id=user_id)
    assert box.data["userId"] == str(user_id) and box.user_id == UID


def test_encrypt_failures_change_nothing(key_pair):
    box = Lockbox(signing_key=key_pair[0], derivation_key=key_pair[1], user_id=UID)
    before = snapshot(box)
    with pytest.raises(TypeError):
        box.encrypt(None, PASSPHRASE)
    with pytest.raises(AttributeError):
        box.encrypt(PASSWORD, PASSPHRASE.encode())
    assert snapshot(box) == before
    assert box.version is None
    with pytest.raises(lib.ParseError):
        box.rescue
    with pytest.raises(TypeError):
        box.checksum


def test_equality(key_pair, written):
    data = written[0]
    a, b = Lockbox(enc_data=data), Lockbox(enc_data=data)
    b.decrypt(PASSWORD)
    assert a == b and not a != b and b == a
    assert (a == data) is False and a != data
    n1 = Lockbox(signing_key=key_pair[0], derivation_key=key_pair[1], user_id=UID)
    n2 = Lockbox(signing_key=key_pair[1], derivation_key=key_pair[0], user_id=uuid.uuid4())
    assert n1 == n2
    n1.encrypt(PASSWORD, PASSPHRASE)
    assert n1 != n2


def test_rescue_portion():
    rescue = LockboxRescue(password=HASH)
    assert (rescue.encrypted, rescue.data, rescue.version) == (False, {"password": HASH}, 1)
    assert rescue.encrypt(PASSPHRASE) is rescue
    sealed = rescue.data
    assert len(sealed) == 160
    assert struct.unpack_from("<Q", sealed, 0)[0] == 8 and struct.unpack_from("<Q", sealed, 16)[0] == 16
    assert struct.unpack_from("<Q", sealed, 40)[0] == 112
    assert rescue.encrypt(PASSPHRASE) is None and rescue.data is sealed
    assert twin_open(twin_section(sealed, 0)[0], PASSPHRASE)[1] == {"password": HASH}
    opened = LockboxRescue(enc_data=sealed)
    assert opened.get_password(PASSPHRASE) == HASH and opened.encrypted is False
    assert opened.decrypt(PASSPHRASE) is None
    assert opened.get_password("anything") == HASH
    again = LockboxRescue(password=HASH).encrypt(PASSPHRASE).data
    assert again != sealed and len(again) == len(sealed)
    both = LockboxRescue(enc_data=b"kept", password=HASH)
    assert both.encrypted is False and both._enc_data == b"kept"
    for empty in (LockboxRescue(), LockboxRescue(password="")):
        assert empty.data is None
        with pytest.raises(lib.ParseError):
            empty.get_password(PASSPHRASE)


# --- late-bound names and the GIL -----------------------------------------------------


def test_names_are_looked_up_at_each_use(written, monkeypatch):
    calls = []
    real_decrypt, real_hash = aes.decrypt, lockbox.get_hash

    def spy_decrypt(data, cipher_key, iv):
        calls.append("decrypt")
        return real_decrypt(data=data, cipher_key=cipher_key, iv=iv)

    def spy_hash(data):
        calls.append("get_hash")
        return real_hash(data)

    class OtherError(Exception):
        pass

    monkeypatch.setattr(aes, "decrypt", spy_decrypt)
    monkeypatch.setattr(lockbox, "get_hash", spy_hash)
    monkeypatch.setattr(aes, "DecryptionError", OtherError)
    assert Lockbox(enc_data=written[0]).decrypt(PASSWORD).user_id == UID
    with pytest.raises(OtherError, match="Check password"):
        Lockbox(enc_data=written[0]).decrypt("wrong")
    assert calls == ["get_hash", "decrypt"] * 2


def test_key_derivation_runs_without_the_gil(written):
    done = threading.Event()
    ticks = 0

    def work():
        Lockbox(enc_data=written[0]).decrypt(PASSWORD)
        done.set()

    t = threading.Thread(target=work)
    t.start()
    while not done.is_set():
        ticks += 1
    t.join()
    assert ticks > 10000
