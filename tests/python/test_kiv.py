"""KIV, the recipient key blob: creation, external form, recovery of the
container keys, text form and equality."""
import base64
import binascii
import types
import uuid

import pytest

import velna.crypto.ies as ies
import velna.crypto.kiv as kiv_module
from velna.crypto.container import ContainerKeys
from velna.crypto.kiv import KIV
from conftest import run_python
from keyring_users import TestUser, alice, bob  # noqa: F401 (fixtures)


@pytest.fixture(scope="module")
def keys():
    return ContainerKeys()


@pytest.fixture(scope="module")
def blob(alice, bob, keys):
    return KIV(container_id=uuid.uuid4(), container_keys=keys, sender_keys=alice.keys,
               recip_keys=bob.public)


def test_created_blob_records_both_users_and_reads_back(alice, bob, keys, blob):
    assert blob.sender_user_id == alice.id and blob.recipient_user_id == bob.id
    assert isinstance(blob.struct, ies.IESStruct)
    assert blob.to_bytes() is blob.raw
    assert isinstance(blob.b64, bytes) and blob.b64 == base64.b64encode(blob.raw)
    for external in (blob.b64, blob.b64.decode()):
        again = KIV(external)
        assert again == blob and not again != blob
        for sender in (None, alice.public, alice.keys):
            assert again.get_container_keys(bob.keys, sender_keys=sender) == keys
    assert blob.get_container_keys(bob.keys) == keys
    assert KIV(kiv_data=blob.b64) == blob


def test_the_external_form_may_hold_blanks_and_line_breaks(bob, keys, blob):
    text = blob.b64.decode()
    broken = "\r\n".join(" ".join(text[i:i + 4] for i in range(j, min(j + 64, len(text)), 4))
                         for j in range(0, len(text), 64))
    assert KIV(broken) == blob
    assert KIV(broken.encode()).get_container_keys(bob.keys) == keys


def test_a_blob_read_from_its_external_form_names_no_users(blob):
    again = KIV(blob.b64)
    for name in ("sender_user_id", "recipient_user_id"):
        with pytest.raises(AttributeError):
            getattr(again, name)


@pytest.mark.parametrize("kwargs", [{}, {"kiv_data": None}, {"kiv_data": ""}, {"kiv_data": b""},
                                    {"container_id": uuid.uuid4()}, {"bogus": 1}])
def test_a_new_blob_needs_exactly_its_four_keywords(kwargs):
    with pytest.raises(TypeError):
        KIV(**kwargs)


ALL_FOUR = "'container_id', 'container_keys', 'sender_keys', and 'recip_keys'"


@pytest.mark.parametrize("kwargs,message", [
    ({}, "_create_kiv() missing 4 required positional arguments: " + ALL_FOUR),
    ({"container_id": 1, "sender_keys": 2},
     "_create_kiv() missing 2 required positional arguments: 'container_keys' and 'recip_keys'"),
    ({"container_id": 1, "container_keys": 2, "sender_keys": 3},
     "_create_kiv() missing 1 required positional argument: 'recip_keys'"),
    ({"bogus": 1}, "_create_kiv() got an unexpected keyword argument 'bogus'"),
])
def test_argument_errors_are_worded_as_the_runtime_words_them(kwargs, message):
    with pytest.raises(TypeError) as info:
        KIV(**kwargs)
    assert str(info.value) == message


def test_unparsable_blobs_are_refused_before_anything_is_decrypted(blob):
    # Decoded bytes that are no blob: the strict parse refuses them at once.
    for raw in (b"\0" * 10, blob.raw[:-1], blob.raw + b"\0"):
        with pytest.raises(ies.IESError):
            KIV(base64.b64encode(raw))


@pytest.mark.parametrize("data, error", [
    ("QUJD\u00e9", ValueError),           # not ASCII
    ("QUJDR", binascii.Error),            # incomplete last group
    (12345, TypeError),
])
def test_undecodable_external_forms(data, error):
    with pytest.raises(error):
        KIV(data)


def test_a_tampered_blob_does_not_give_keys(bob, blob):
    raw = bytearray(blob.raw)
    raw[300] ^= 1
    tampered = KIV(base64.b64encode(bytes(raw)))
    with pytest.raises(ies.IESError):
        tampered.get_container_keys(bob.keys)


def test_first_active_keys_name_the_users():
    sender = TestUser(signing=2, inactive={("signingKeys", 0)})
    recipient = TestUser(derivation=2, inactive={("derivationKeys", 0)})
    k = KIV(container_id=uuid.uuid4(), container_keys=ContainerKeys(), sender_keys=sender.keys,
            recip_keys=recipient.public)
    assert k.recipient_user_id == recipient.public["derivationKeys"][1].user_id
    assert (k.struct.recipient_key_index, k.struct.sender_key_index) == (1, 1)


def test_no_active_derivation_key_fails_before_sealing(monkeypatch, alice):
    calls = []
    monkeypatch.setattr(kiv_module, "ies", types.SimpleNamespace(
        encrypt=lambda **kw: calls.append(kw)))
    recipient = TestUser(inactive={("derivationKeys", 0)})
    with pytest.raises(AttributeError):
        KIV(container_id=uuid.uuid4(), container_keys=ContainerKeys(), sender_keys=alice.keys,
            recip_keys=recipient.public)
    assert calls == []


def test_ies_is_looked_up_at_each_call(monkeypatch, alice, bob, keys):
    seen = {}

    def encrypt(**kw):
        seen.update(kw)
        return ies.encrypt(**kw)

    monkeypatch.setattr(kiv_module, "ies", types.SimpleNamespace(
        encrypt=encrypt, IESStruct=ies.IESStruct, decrypt=ies.decrypt))
    cid = uuid.uuid4()
    KIV(container_id=cid, container_keys=keys, sender_keys=alice.keys, recip_keys=bob.public)
    assert seen["data"] == bytes(keys) and seen["obj_id"] is cid
    assert seen["sender_keys"] is alice.keys and seen["recip_keys"] is bob.public


def test_text_form_and_equality(blob):
    assert str(blob) == repr(blob.raw) and repr(blob) == repr(blob.raw)
    assert blob != blob.raw and not blob == blob.raw
    assert blob != None  # noqa: E711

    class Derived(KIV):
        pass

    # The class test uses the receiver's class (and Python asks the derived
    # operand first).
    derived = Derived(blob.b64)
    assert blob.__eq__(derived) is True
    assert derived.__eq__(blob) is False and derived != blob
    with pytest.raises(TypeError):
        hash(blob)


ASSERTION_SCRIPT = """
import uuid, sys
sys.path.insert(0, {tests!r})
from keyring_users import TestUser, alice, bob  # noqa: F401 (fixtures)
from velna.crypto.container import ContainerKeys
from velna.crypto.kiv import KIV
a, b = TestUser(), TestUser()
for keys in (ContainerKeys(cipher_index=1), ContainerKeys(mac_index=2)):
    k = KIV(container_id=uuid.uuid4(), container_keys=keys, sender_keys=a.keys,
            recip_keys=b.public)
    try:
        k.get_container_keys(b.keys)
    except AssertionError as e:
        print("refused", repr(e.args))
"""


@pytest.mark.parametrize("flags", [(), ("-O",)])
def test_algorithm_indexes_other_than_zero_are_refused_even_under_O(flags):
    import os
    result = run_python(ASSERTION_SCRIPT.format(tests=os.path.dirname(__file__)), *flags)
    assert result.stdout.split("\n")[:2] == ["refused ()", "refused ()"], result.stderr
