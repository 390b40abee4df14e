"""velna.crypto.ies: sealing container keys for a recipient's key ring.

The independent reader and writer below follow docs/ies.md and use
python3-cryptography only; they share no code with the module.
"""
import base64
import os
import struct
import uuid

import pytest
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, hmac, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.kdf.x963kdf import X963KDF

import velna.crypto as crypto
import velna.crypto.aes as aes
import velna.crypto.ies as ies
from keyring_users import TestUser, alice, bob, carol  # noqa: F401 (fixtures)

FAILURE = "Unable to open the recipient key blob."
PLAINTEXT = bytes(range(200))


@pytest.fixture(scope="module")
def container_id():
    return uuid.uuid4()


@pytest.fixture(scope="module")
def blob(alice, bob, container_id):
    return ies.encrypt(data=PLAINTEXT, sender_keys=alice.keys, recip_keys=bob.public,
                       obj_id=container_id)


def refused(fn):
    with pytest.raises(ies.IESError) as info:
        fn()
    assert str(info.value) == FAILURE
    return info.value


# --- An independent reader and writer of the layout ------------------------

def _u64(b, at):
    if at + 8 > len(b):
        raise ValueError("short")
    return struct.unpack_from("<Q", b, at)[0], at + 8


def _field(b, at):
    n, at = _u64(b, at)
    if n > len(b) - at:
        raise ValueError("short")
    return b[at:at + n], at + n, at - 8


def oracle_parse(b):
    f = {}
    f["version"], at = _u64(b, 0)
    f["recipient_key_index"], at = _u64(b, at)
    f["sender_key_index"], at = _u64(b, at)
    if at + 16 > len(b):
        raise ValueError("short")
    f["container_id"], at = uuid.UUID(bytes_le=bytes(b[at:at + 16])), at + 16
    for name in ("sender_public_key", "ephemeral_public_key", "iv", "ciphertext"):
        f[name], at, _ = _field(b, at)
    f["mac"], at, f["mac_part_end"] = _field(b, at)
    f["signature"], at, f["signed_part_end"] = _field(b, at)
    if (at != len(b) or f["version"] != 1 or len(f["iv"]) != 16 or len(f["mac"]) != 48
            or any(len(f[k]) != 97 or f[k][0] != 4
                   for k in ("sender_public_key", "ephemeral_public_key"))):
        raise ValueError("not a blob")
    return f


def _derive(shared, cid, ephemeral_point):
    okm = X963KDF(algorithm=hashes.SHA384(), length=80,
                  sharedinfo=cid.bytes_le + ephemeral_point).derive(shared)
    return okm[:32], okm[32:]


def oracle_open(b, recipient_private):
    f = oracle_parse(b)
    sender = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP384R1(), f["sender_public_key"])
    sender.verify(f["signature"], b[:f["signed_part_end"]], ec.ECDSA(hashes.SHA384()))
    ephemeral = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP384R1(),
                                                             f["ephemeral_public_key"])
    cipher_key, mac_key = _derive(recipient_private.exchange(ec.ECDH(), ephemeral),
                                  f["container_id"], f["ephemeral_public_key"])
    h = hmac.HMAC(mac_key, hashes.SHA384())
    h.update(b[:f["mac_part_end"]])
    h.verify(f["mac"])
    d = Cipher(algorithms.AES(cipher_key), modes.CTR(f["iv"])).decryptor()
    return d.update(f["ciphertext"]) + d.finalize(), f


def oracle_seal(plaintext, cid, signing_private, signing_index, recipient_public,
                recipient_index):
    ephemeral = ec.generate_private_key(ec.SECP384R1())
    ephemeral_point = point_of(ephemeral.public_key())
    cipher_key, mac_key = _derive(ephemeral.exchange(ec.ECDH(), recipient_public), cid,
                                  ephemeral_point)
    iv = os.urandom(8) + bytes(8)
    e = Cipher(algorithms.AES(cipher_key), modes.CTR(iv)).encryptor()
    ciphertext = e.update(plaintext) + e.finalize()

    def field(b):
        return struct.pack("<Q", len(b)) + b

    out = (struct.pack("<QQQ", 1, recipient_index, signing_index) + cid.bytes_le
           + field(point_of(signing_private.public_key())) + field(ephemeral_point) + field(iv)
           + field(ciphertext))
    h = hmac.HMAC(mac_key, hashes.SHA384())
    h.update(out)
    out += field(h.finalize())
    return out + field(signing_private.sign(out, ec.ECDSA(hashes.SHA384())))


def point_of(public_key):
    return public_key.public_bytes(serialization.Encoding.X962,
                                   serialization.PublicFormat.UncompressedPoint)


def as_oracle_private(key):
    return serialization.load_pem_private_key(crypto.to_pem_private(key), password=None)


def as_oracle_public(key):
    return serialization.load_pem_public_key(crypto.to_pem_public(key))


# --- Round trips -------------------------------------------------------------

def test_round_trip_with_and_without_the_senders_key_ring(alice, bob, blob, container_id):
    assert ies.decrypt(blob, bob.keys) == PLAINTEXT
    assert ies.decrypt(blob, bob.keys, sender_keys=alice.public) == PLAINTEXT
    assert ies.decrypt(blob, bob.keys, sender_keys=alice.keys, obj_id=container_id) == PLAINTEXT
    assert ies.decrypt(blob, bob.keys, obj_id=str(container_id)) == PLAINTEXT


def test_parsed_fields_name_the_keys_used(alice, bob, blob, container_id):
    s = ies.IESStruct.parse(blob)
    assert (s.version, s.recipient_key_index, s.sender_key_index) == (1, 0, 0)
    assert s.container_id == container_id
    assert s.sender_public_key == point_of(as_oracle_public(alice.signing[0].public))
    assert len(s.ciphertext) == len(PLAINTEXT) and len(s.mac) == 48 and len(s.iv) == 16
    assert s.iv[8:] == bytes(8)
    assert s.raw is blob


def test_first_active_keys_are_chosen_and_recorded(container_id):
    sender = TestUser(signing=3, inactive={("signingKeys", 0), ("signingKeys", 1)})
    recipient = TestUser(derivation=3, inactive={("derivationKeys", 0)})
    b = ies.encrypt(data=PLAINTEXT, sender_keys=sender.keys, recip_keys=recipient.public,
                    obj_id=container_id)
    s = ies.IESStruct.parse(b)
    assert (s.sender_key_index, s.recipient_key_index) == (2, 1)
    plain, _ = oracle_open(b, as_oracle_private(recipient.derivation[1].private))
    assert plain == PLAINTEXT
    assert ies.decrypt(b, recipient.keys, sender_keys=sender.public) == PLAINTEXT
    # The recorded key is used, not whichever is the first active one now.
    recipient.keys["derivationKeys"][0].active = True
    assert ies.decrypt(b, recipient.keys) == PLAINTEXT


def test_every_seal_is_fresh(alice, bob, container_id):
    one = ies.encrypt(data=PLAINTEXT, sender_keys=alice.keys, recip_keys=bob.public,
                      obj_id=container_id)
    two = ies.encrypt(data=PLAINTEXT, sender_keys=alice.keys, recip_keys=bob.public,
                      obj_id=container_id)
    assert one != two
    a, b = ies.IESStruct.parse(one), ies.IESStruct.parse(two)
    assert a.ephemeral_public_key != b.ephemeral_public_key and a.iv != b.iv


def test_base64_with_blanks_and_line_breaks_reads_back(bob, blob):
    text = base64.b64encode(blob).decode()
    spaced = "\n".join(text[i:i + 60] for i in range(0, len(text), 60)).replace("A", " A")
    assert ies.decrypt(base64.b64decode(spaced), bob.keys) == PLAINTEXT


# --- Refusals ----------------------------------------------------------------

def test_every_flipped_bit_truncation_and_appended_byte_is_refused(bob, blob):
    for i in range(len(blob)):
        bad = bytearray(blob)
        bad[i] ^= 1 << (i % 8)
        refused(lambda: ies.decrypt(bytes(bad), bob.keys))
    for n in range(0, len(blob), 7):
        refused(lambda: ies.IESStruct.parse(blob[:n]))
        refused(lambda: ies.decrypt(blob[:n], bob.keys))
    refused(lambda: ies.decrypt(blob + b"\0", bob.keys))
    refused(lambda: ies.IESStruct.parse(blob + b"\0"))


def test_other_container_recipient_or_sender_is_refused(alice, bob, carol, blob):
    refused(lambda: ies.decrypt(blob, bob.keys, obj_id=uuid.uuid4()))
    refused(lambda: ies.decrypt(blob, carol.keys))
    refused(lambda: ies.decrypt(blob, bob.public))  # public halves only
    refused(lambda: ies.decrypt(blob, bob.keys, sender_keys=carol.public))
    refused(lambda: ies.decrypt(blob, alice.keys))


def test_a_blob_moved_to_another_container_does_not_open(bob, blob):
    # Rewriting the recorded identifier breaks the signature, the MAC and the
    # derived keys alike.
    moved = bytearray(blob)
    moved[24:40] = uuid.uuid4().bytes_le
    refused(lambda: ies.decrypt(bytes(moved), bob.keys))


def test_a_blob_resigned_by_someone_else_is_refused(bob, carol, blob):
    f = oracle_parse(blob)
    signer = as_oracle_private(carol.signing[0].private)
    body = bytearray(blob[:f["signed_part_end"]])
    body[40 + 8:40 + 8 + 97] = point_of(as_oracle_public(carol.signing[0].public))
    sig = signer.sign(bytes(body), ec.ECDSA(hashes.SHA384()))
    forged = bytes(body) + struct.pack("<Q", len(sig)) + sig
    # The signature is now valid, but the MAC covers the sender key.
    refused(lambda: ies.decrypt(forged, bob.keys))


def test_the_error_is_a_decryption_error():
    assert issubclass(ies.IESError, aes.DecryptionError)


@pytest.mark.parametrize("keys", [None, {}, {"derivationKeys": {}}, 5])
def test_recipient_rings_without_the_recorded_key_are_refused(blob, keys):
    refused(lambda: ies.decrypt(blob, keys))


def test_sealing_needs_active_keys_of_both_kinds(alice, bob, container_id):
    nothing_active = TestUser(inactive={("signingKeys", 0), ("derivationKeys", 0)})
    cases = [
        (nothing_active.keys, bob.public, "The sender's key ring holds no active signing key."),
        (alice.keys, nothing_active.public,
         "The recipient's key ring holds no active derivation key."),
        (alice.public, bob.public, "The sender's signing key holds no private P-384 key."),
    ]
    for sender, recipient, message in cases:
        with pytest.raises(ValueError) as info:
            ies.encrypt(data=PLAINTEXT, sender_keys=sender, recip_keys=recipient,
                        obj_id=container_id)
        assert str(info.value) == message


@pytest.mark.parametrize("data", ["text", bytearray(b"x"), None])
def test_data_must_be_bytes(alice, bob, container_id, data):
    with pytest.raises(TypeError):
        ies.encrypt(data=data, sender_keys=alice.keys, recip_keys=bob.public, obj_id=container_id)
    with pytest.raises(TypeError):
        ies.decrypt(data, bob.keys)


# --- The independent implementation ----------------------------------------

def test_the_independent_reader_opens_our_blobs(alice, bob, blob, container_id):
    plain, f = oracle_open(blob, as_oracle_private(bob.derivation[0].private))
    assert plain == PLAINTEXT
    assert f["container_id"] == container_id
    sender = as_oracle_public(alice.signing[0].public)
    assert f["sender_public_key"] == point_of(sender)


def test_the_independent_writers_blob_opens_here(alice, bob, container_id):
    b = oracle_seal(PLAINTEXT, container_id, as_oracle_private(alice.signing[0].private), 0,
                    as_oracle_public(bob.derivation[0].public), 0)
    assert ies.decrypt(b, bob.keys, sender_keys=alice.public, obj_id=container_id) == PLAINTEXT
    # And the reader refuses what the module refuses.
    with pytest.raises(InvalidSignature):
        oracle_open(b[:-1] + bytes([b[-1] ^ 1]), as_oracle_private(bob.derivation[0].private))
