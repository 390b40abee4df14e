"""Container keys and the payload portions (raw, JSON, header).

simplejson is the oracle for the JSON text only; the package never imports it.
"""
import collections
import decimal
import os
import subprocess
import sys

import pytest
import simplejson

import velna.crypto.aes  # noqa: F401  (sections need crypto.aes loaded)
import velna.crypto.container as container
from velna._cryptolib import BuildError, ParseError

ContainerKeys = container.ContainerKeys
RawPayload, JSONPayload, Header = container.RawPayload, container.JSONPayload, container.Header


def fields(p):
    """A payload's three fields; missing ones as a marker."""
    return tuple(getattr(p, f, "<unset>") for f in ("_encrypted", "_data", "_encrypted_data"))


# --- ContainerKeys ----------------------------------------------------------------


def test_generated_keys_have_index_zero_and_the_default_lengths():
    keys = ContainerKeys()
    assert (keys.cipher_index, keys.mac_index, len(keys.cipher_key), len(keys.mac_key)) == (0, 0, 32, 128)
    other = ContainerKeys()
    assert keys != other and not keys == other and keys == keys and not keys != keys


@pytest.mark.parametrize("cipher_key", [None, b""])
def test_an_empty_cipher_key_counts_as_none(cipher_key):
    a, b = (ContainerKeys(cipher_key=cipher_key, mac_key=b"m") for _ in range(2))
    assert len(a.cipher_key) == 32 and a.cipher_key != b.cipher_key and a.mac_key == b"m"


@pytest.mark.parametrize("kwargs", [
    {"cipher_key": b"k" * 16, "mac_key": b"m" * 3},
    {"cipher_index": 1, "mac_index": 2**64 - 1},
    {},
])
def test_byte_form_reads_back_equal_keys(kwargs):
    keys = ContainerKeys(**kwargs)
    back = ContainerKeys.from_bytes(bytes(keys) + b"extra")
    assert back == keys and not back != keys and back is not keys
    assert (back.cipher_index, back.mac_index) == (kwargs.get("cipher_index", 0), kwargs.get("mac_index", 0))


def test_from_bytes_is_a_static_operation_with_keyword_data():
    keys = ContainerKeys()
    assert ContainerKeys.from_bytes(data=bytes(keys)) == keys == keys.from_bytes(bytes(keys))


@pytest.mark.parametrize("data", [b"", bytes(23), bytes(ContainerKeys())[:-1]])
def test_short_key_blob_is_a_parse_error(data):
    with pytest.raises(ParseError):
        ContainerKeys.from_bytes(data)


@pytest.mark.parametrize("field, position", [
    ("cipher_key", 0), ("cipher_key", 31), ("mac_key", 0), ("mac_key", 127),
])
def test_keys_differing_in_one_byte_are_unequal(field, position):
    keys = ContainerKeys()
    changed = bytearray(getattr(keys, field))
    changed[position] ^= 1
    other = ContainerKeys(**{"cipher_key": keys.cipher_key, "mac_key": keys.mac_key, field: bytes(changed)})
    assert keys != other and not keys == other


@pytest.mark.parametrize("other", [None, 1, b"", object(), bytes(ContainerKeys())])
def test_keys_are_unequal_to_other_classes(other):
    keys = ContainerKeys()
    assert keys.__eq__(other) is False and keys.__ne__(other) is True


def test_keys_equality_accepts_derived_classes_on_the_right_only():
    class Derived(ContainerKeys):
        pass

    keys = ContainerKeys()
    derived = Derived(cipher_key=keys.cipher_key, mac_key=keys.mac_key)
    assert ContainerKeys.__eq__(keys, derived) is True
    assert Derived.__eq__(derived, keys) is False


def test_keys_are_read_only_and_unhashable():
    keys = ContainerKeys()
    for name in ("cipher_index", "mac_index", "cipher_key", "mac_key"):
        with pytest.raises(AttributeError):
            setattr(keys, name, b"x")
    with pytest.raises(TypeError):
        hash(keys)
    assert keys.container.version == 1 and keys.container["cipher_key_length"] == 32


def test_construction_does_not_validate_but_the_byte_form_does():
    with pytest.raises(TypeError):
        ContainerKeys(cipher_key=5)
    for kwargs in ({"cipher_index": -1}, {"mac_index": 2**64}, {"cipher_index": "0"}, {"cipher_key": "text"}):
        keys = ContainerKeys(**kwargs)
        with pytest.raises(BuildError):
            bytes(keys)


# --- payload construction and assignment -------------------------------------------


@pytest.mark.parametrize("cls, text, value", [
    (RawPayload, None, None),
    (JSONPayload, "null", None),
    (Header, '{"version": 1, "customData": null}', None),
])
def test_payload_made_without_arguments(cls, text, value):
    p = cls()
    assert p.encrypted is False and p._data == text and p.data == value


@pytest.mark.parametrize("value", ["text", bytearray(b"x"), 5, memoryview(b"x")])
def test_raw_payload_takes_only_bytes_or_nothing(value):
    with pytest.raises(ValueError, match=r"^Can only set bytes\.$"):
        RawPayload(ptxt_data=value)
    p = RawPayload(ptxt_data=b"kept")
    with pytest.raises(ValueError):
        p.data = value
    assert fields(p) == (False, b"kept", "<unset>")


def test_raw_payload_takes_a_bytes_subclass():
    class B(bytes):
        pass

    assert RawPayload(ptxt_data=B(b"x")).data == b"x"


@pytest.mark.parametrize("cls", [RawPayload, JSONPayload, Header])
def test_enc_data_decides_the_state_by_truth(cls):
    assert cls(enc_data=b"", ptxt_data=None).encrypted is False
    p = cls(enc_data=b"blob", ptxt_data=b"ignored")
    assert p.encrypted is True and p.data == b"blob" and len(p) == 4
    assert "_data" not in p.__dict__
    p.set_encrypted_data(None)
    assert p.encrypted is True and p.data is None


@pytest.mark.parametrize("value, text, back", [
    ('{"a":1}', '{"a": 1}', {"a": 1}),
    ("hello", '"hello"', "hello"),
    ("", '""', ""),
    (b"[1,2]", "[1, 2]", [1, 2]),
    (b"not json", '"not json"', "not json"),
    ({"b": 1, "a": [True, None]}, '{"b": 1, "a": [true, null]}', {"b": 1, "a": [True, None]}),
])
def test_json_payload_assignment(value, text, back):
    p = JSONPayload(enc_data=b"old blob")
    p.data = value
    assert p.encrypted is False and p._data == text and p.data == back


@pytest.mark.parametrize("value, text, back", [
    ('{"a":1}', '{"version": 1, "customData": {"a": 1}}', {"a": 1}),
    ("x", '{"version": 1, "customData": "x"}', "x"),
    ('"quoted"', '{"version": 1, "customData": "quoted"}', "quoted"),
    ([1], '{"version": 1, "customData": [1]}', [1]),
])
def test_header_assignment(value, text, back):
    h = Header(ptxt_data=value)
    assert h._data == text and h.data == back


def test_header_version_is_read_at_each_assignment(monkeypatch):
    monkeypatch.setattr(Header, "version", 2)
    assert Header(ptxt_data=1)._data == '{"version": 2, "customData": 1}'


@pytest.mark.parametrize("stored, value", [
    ("[1, 2]", [1, 2]),
    ('{"version": 1}', None),
    ('"s"', "s"),
    (b'{"customData": 3}', 3),
])
def test_header_data_of_stored_json(stored, value):
    h = Header()
    h.set_plaintext_data(stored)
    assert h.data == value


# --- JSON text --------------------------------------------------------------------


Pair = collections.namedtuple("Pair", "left right")
CORPUS = [
    None, True, False, 0, -1, 2**64, -(2**100), 10**40,
    0.1, -0.0, 1e300, 1e-7, 123456789.0, 1.5e16, float("nan"), float("inf"), float("-inf"),
    "", "plain", "\u00e9\u4e2d\U0001f600", "\ud800 lone", "\udfff", "\x00\x1f\x7f\"\\/\n\r\t\b\f",
    b"utf-8 bytes \xc3\xa9", [], {}, [[]], [{}],
    {"z": 1, "a": 2, "\u00e9": [1.5, {"n": None}]},
    {1: "int", 2.5: "float", True: "t", None: "n"},
    collections.OrderedDict([("b", 1), ("a", 2)]),
    (1, "tuple"), Pair(1, 2), decimal.Decimal("1.10"),
    [[[[[[["deep"]]]]]]],
]


def oracle_value(value):
    """What a payload serialises: strings holding JSON stand for their value."""
    if isinstance(value, (str, bytes)):
        try:
            return simplejson.loads(value)
        except Exception:  # noqa: BLE001 - any failure keeps the string
            return value
    return value


@pytest.mark.parametrize("value", CORPUS, ids=lambda v: repr(v)[:30])
def test_json_text_is_that_of_simplejson(value):
    assert JSONPayload(ptxt_data=value)._data == simplejson.dumps(oracle_value(value))
    header = Header(ptxt_data=value)
    assert header._data == simplejson.dumps({"version": 1, "customData": oracle_value(value)})
    assert simplejson.dumps(header.data) == simplejson.dumps(simplejson.loads(header._data)["customData"])


def test_json_read_back_is_that_of_simplejson():
    text = '{"big": 123456789012345678901234567890, "f": 1.25, "s": "\\ud83d\\ude00", "dup": 1, "dup": 2}'
    p = JSONPayload()
    p.set_plaintext_data(text.encode())
    assert p.data == simplejson.loads(text) and list(p.data) == ["big", "f", "s", "dup"]


def nested(depth):
    outer = cur = []
    for _ in range(depth):
        cur.append([])
        cur = cur[0]
    return outer


def cyclic_list():
    a = []
    a.append(a)
    return a


def cyclic_dict():
    d = {}
    d["self"] = [d]
    return d


@pytest.mark.parametrize("value, error", [
    (nested(100000), RecursionError),
    (cyclic_list(), ValueError),
    (cyclic_dict(), ValueError),
    (bytearray(b"x"), TypeError),
    (object(), TypeError),
    ({(1, 2): "tuple key"}, TypeError),
], ids=["deep", "cycle-list", "cycle-dict", "bytearray", "object", "tuple-key"])
@pytest.mark.parametrize("cls, encrypted", [
    (JSONPayload, False), (JSONPayload, True), (Header, False), (Header, True),
])
def test_failed_json_assignment_leaves_the_payload_unchanged(cls, encrypted, value, error):
    p = cls(enc_data=b"blob") if encrypted else cls(ptxt_data={"a": 1})
    before = fields(p)
    with pytest.raises(error):
        p.data = value
    assert fields(p) == before


def test_deep_json_text_fails_with_an_error_on_reading():
    p = JSONPayload()
    p.set_plaintext_data("[" * 100000 + "]" * 100000)
    with pytest.raises(RecursionError):
        p.data
    p.data = "[" * 100000 + "]" * 100000  # not parsable here, so it is stored as a string
    assert p.data == "[" * 100000 + "]" * 100000


DEEP_WITH_RAISED_LIMIT = r"""
import sys
import velna.crypto.container as c
sys.setrecursionlimit(10**7)
n = 1000000
outer = cur = []
for _ in range(n):
    cur.append([])
    cur = cur[0]
p = c.JSONPayload()
for attempt in (lambda: setattr(p, "data", outer), lambda: (p.set_plaintext_data("[" * n + "]" * n), p.data)):
    try:
        attempt()
        print("ok")
    except RecursionError:
        print("RecursionError")
"""


def test_json_of_unbounded_depth_fails_cleanly_even_with_a_raised_recursion_limit():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run([sys.executable, "-c", DEEP_WITH_RAISED_LIMIT], capture_output=True, text=True,
                            timeout=120, env=env)
    assert (result.returncode, result.stdout.split()) == (0, ["RecursionError", "RecursionError"]), result.stderr


@pytest.mark.parametrize("stored", ["not json", b"\xff\xfe", "{"])
def test_reading_stored_text_that_is_not_json_is_a_value_error(stored):
    p = JSONPayload()
    p.set_plaintext_data(stored)
    with pytest.raises(ValueError):
        p.data


# --- encryption -------------------------------------------------------------------


@pytest.mark.parametrize("cls, value, plain_size", [
    (RawPayload, b"", 0),
    (RawPayload, b"raw bytes", 9),
    (JSONPayload, {"a": "\u00e9"}, len('{"a": "\\u00e9"}')),
    (Header, "hi", len('{"version": 1, "customData": "hi"}')),
])
def test_encrypt_then_decrypt_restores_the_data(cls, value, plain_size):
    keys = ContainerKeys()
    p = cls(ptxt_data=value)
    before = p.data
    p.decrypt(keys)  # plaintext: nothing to do
    assert p.encrypted is False and p.data == before
    p.encrypt(keys)
    blob = p.data
    assert p.encrypted is True and type(blob) is bytes and len(p) == len(blob) == 88 + plain_size
    p.encrypt(keys)
    assert p.data is blob
    p.decrypt(keys)
    assert p.encrypted is False and p.data == before and p._encrypted_data is blob
    p.encrypt(keys)
    assert len(p.data) == len(blob) and p.data != blob


def test_decrypted_json_payload_holds_its_text_as_bytes():
    keys = ContainerKeys()
    h = Header(ptxt_data={"k": 1})
    h.encrypt(keys)
    h.decrypt(keys)
    assert h._data == b'{"version": 1, "customData": {"k": 1}}' and h.data == {"k": 1}


def test_failed_encrypt_or_decrypt_leaves_the_payload_unchanged():
    keys = ContainerKeys()
    p = RawPayload()
    with pytest.raises(ValueError, match="^Can only encrypt str or bytes$"):
        p.encrypt(keys)
    assert fields(p) == (False, None, "<unset>")
    p = RawPayload(ptxt_data=b"x")
    p.encrypt(keys)
    before = fields(p)
    with pytest.raises(velna.crypto.aes.DecryptionError):
        p.decrypt(ContainerKeys())
    with pytest.raises(ParseError):
        RawPayload(enc_data=b"not a section").decrypt(keys)
    assert fields(p) == before


# --- text form, equality, length ---------------------------------------------------


@pytest.mark.parametrize("payload, text", [
    (RawPayload(), "<RawPayload(ptxt_data=None)>"),
    (RawPayload(ptxt_data=b"a\x00"), "<RawPayload(ptxt_data=b'a\\x00')>"),
    (RawPayload(enc_data=b"\xff"), "<RawPayload(enc_data=b'\\xff')>"),
    (JSONPayload(ptxt_data="[1]"), "<JSONPayload(ptxt_data=[1])>"),
    (Header(ptxt_data="hi"), "<JSONPayload(ptxt_data=hi)>"),
    (Header(enc_data=b"s"), "<JSONPayload(enc_data=b's')>"),
])
def test_text_form(payload, text):
    assert repr(payload) == text


def test_json_payloads_with_equal_values_are_equal():
    a, b = JSONPayload(ptxt_data={"a": 1}), JSONPayload(ptxt_data='{"a":1}')
    assert a == b and not a != b
    assert JSONPayload(ptxt_data=[1]) != JSONPayload(ptxt_data=[2])


def test_payload_equality_is_one_sided_between_base_and_derived_classes():
    raw, header = RawPayload(), Header()
    assert RawPayload.__eq__(raw, header) is True and RawPayload.__ne__(raw, header) is False
    assert Header.__eq__(header, raw) is False and Header.__ne__(header, raw) is True
    # The operator tries the derived class's reflected method first.
    assert (raw == header) is False and (header == raw) is False


@pytest.mark.parametrize("other", [None, b"", "x", object()])
def test_payload_is_unequal_to_other_classes(other):
    assert RawPayload(ptxt_data=b"").__eq__(other) is False
    assert RawPayload(ptxt_data=b"").__ne__(other) is True


@pytest.mark.parametrize("payload, length", [
    (RawPayload(ptxt_data=b"abc"), 3),
    (JSONPayload(ptxt_data=[1, 2, 3]), 3),
    (JSONPayload(ptxt_data="four"), 4),
    (Header(ptxt_data={"a": 1, "b": 2}), 2),
])
def test_length(payload, length):
    assert len(payload) == length


@pytest.mark.parametrize("payload", [RawPayload(), Header(), JSONPayload(ptxt_data=5)])
def test_length_of_nothing_or_a_number_is_a_type_error(payload):
    with pytest.raises(TypeError):
        len(payload)


@pytest.mark.parametrize("cls", [ContainerKeys, RawPayload, JSONPayload, Header])
def test_value_classes_are_unhashable(cls):
    assert cls.__hash__ is None
