"""The container blob, its sections and the container key blob, read and
written by an independent twin built here from struct, hmac, hashlib and
python3-cryptography (test-only oracle; the package never imports it).
"""
import hashlib
import hmac as std_hmac
import json
import logging
import os
import struct
import subprocess
import sys
import uuid

import pytest
import simplejson
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

import velna.crypto as crypto
import velna.crypto.aes as aes
import velna.crypto.container as container
import velna.crypto.hmac as vhmac
import velna.providers as providers
from velna._cryptolib import ParseError

U64 = struct.Struct("<Q")
MAX64 = 2**64 - 1
HOSTILE_LENGTHS = [MAX64, 2**32 + 16, 2**63]
DIGEST_FAILURE = "Container Digest verification failure."
LOGGER = "velna.crypto.container"

CK = bytes(range(32))
MK = bytes(range(100, 228))


@pytest.fixture(autouse=True)
def nobody_logged_in():
    with providers.use(providers.Provider()):
        yield


# --- the twin ------------------------------------------------------------------


def ctr(key, iv, data):
    c = Cipher(algorithms.AES(key), modes.CTR(iv)).encryptor()
    return c.update(data) + c.finalize()


def mac(key, data):
    return std_hmac.new(key, data, hashlib.sha384).digest()


def pack_fields(*fields):
    return b"".join(U64.pack(len(f)) + f for f in fields)


def twin_section(plain, ck=CK, mk=MK, iv=None):
    iv = iv or os.urandom(8) + bytes(8)
    ct = ctr(ck, iv, plain)
    return pack_fields(iv, ct, mac(mk, ct))


def twin_read_section(buf, pos=0):
    """(iv, encrypted, digest), end offset."""
    fields = []
    for _ in range(3):
        (n,) = U64.unpack_from(buf, pos)
        pos += 8
        assert pos + n <= len(buf)
        fields.append(bytes(buf[pos : pos + n]))
        pos += n
    return tuple(fields), pos


def twin_open(fields, ck=CK, mk=MK):
    iv, ct, digest = fields
    assert std_hmac.compare_digest(mac(mk, ct), digest)
    return ctr(ck, iv, ct)


def twin_blob(oid, hsec, csec, version=1, cipher_index=0, mac_index=0, header_length=None,
              content_length=None, trailing=b""):
    hl = len(hsec) if header_length is None else header_length
    cl = len(csec) if content_length is None else content_length
    pre = U64.pack(version) + oid + b"".join(U64.pack(v) for v in (cipher_index, mac_index, hl, cl))
    return pre + hsec + csec + trailing


def twin_read_blob(blob):
    version = U64.unpack_from(blob, 0)[0]
    oid = blob[8:24]
    ci, mi, hl, cl = struct.unpack_from("<4Q", blob, 24)
    header, pos = twin_read_section(blob, 56)
    content, end = twin_read_section(blob, pos)
    return dict(version=version, oid=oid, cipher_index=ci, mac_index=mi, header_length=hl,
                content_length=cl, header=header, content=content, header_end=pos, end=end)


def twin_key_blob(ck, mk, version=1, cipher_index=0, mac_index=0, trailing=b""):
    return (U64.pack(version) + U64.pack(cipher_index) + pack_fields(ck) + U64.pack(mac_index)
            + pack_fields(mk) + trailing)


def header_text(custom):
    return simplejson.dumps({"version": 1, "customData": custom}).encode()


def length_field_offsets(blob):
    """Offsets of the six section length fields of a blob."""
    offsets, pos = [], 56
    for _ in range(2):
        for _ in range(3):
            offsets.append(pos)
            pos += 8 + U64.unpack_from(blob, pos)[0]
    return offsets


def small_blob():
    c = container.Container(header=None, content=b"")
    c.encrypt()
    return c.data


# --- blobs written here, read by the twin --------------------------------------


@pytest.mark.parametrize("custom, content", [
    (None, b""),
    ({"a": 1, "\u00e9": [1.5, None, True]}, b"xyz"),
    ("text", os.urandom(5000)),
])
def test_blob_written_here_opens_with_the_independent_reader(custom, content):
    c = container.Container(header=custom, content=content)
    keys = c.encrypt()
    blob = c.data
    got = twin_read_blob(blob)
    htext = header_text(custom)
    assert len(blob) == 232 + len(htext) + len(content) == got["end"] == c.length
    assert (got["version"], got["cipher_index"], got["mac_index"]) == (1, 0, 0)
    assert got["oid"] == c.id.bytes_le
    assert got["header_length"] == got["header_end"] - 56 == 88 + len(htext)
    assert got["content_length"] == got["end"] - got["header_end"] == 88 + len(content)
    assert blob[56:64] == U64.pack(16)
    ivs = [got["header"][0], got["content"][0]]
    assert all(len(iv) == 16 and iv[8:] == bytes(8) for iv in ivs) and ivs[0] != ivs[1]
    assert twin_open(got["header"], keys.cipher_key, keys.mac_key) == htext
    assert twin_open(got["content"], keys.cipher_key, keys.mac_key) == content


@pytest.mark.parametrize("ptxt, plain", [
    (b"", b""),
    ("", b""),
    ("\u00e4\u00f6\u00fc", "\u00e4\u00f6\u00fc".encode()),
    ("\U0001f600", b"\xf0\x9f\x98\x80"),
    (b"\x00" * 1000, b"\x00" * 1000),
])
def test_section_written_here_opens_with_the_independent_reader(ptxt, plain):
    keys = container.ContainerKeys(cipher_key=CK, mac_key=MK)
    section = container._encrypt(ptxt, keys)
    n = len(plain)
    assert len(section) == 88 + n
    fields, end = twin_read_section(section)
    assert end == len(section)
    iv, ct, digest = fields
    assert (len(iv), iv[8:], len(ct), len(digest)) == (16, bytes(8), n, 48)
    assert section[32 : 32 + n] == ct and section[40 + n :] == digest
    assert digest == mac(MK, ct)
    assert twin_open(fields) == plain
    assert container._decrypt(section, keys) == plain
    assert type(container._decrypt(ciphertxt=section, container_keys=keys)) is bytes


def test_two_sections_of_one_plaintext_differ_in_iv_ciphertext_and_digest():
    keys = container.ContainerKeys()
    a, b = (twin_read_section(container._encrypt(b"same text", keys))[0] for _ in range(2))
    assert all(x != y for x, y in zip(a, b))


@pytest.mark.parametrize("ptxt", [None, 5, bytearray(b"x"), memoryview(b"x")])
def test_only_text_or_bytes_is_encrypted(ptxt, monkeypatch):
    drawn = []
    monkeypatch.setattr(aes, "create_iv", lambda: drawn.append(1) or bytes(16))
    with pytest.raises(ValueError, match="^Can only encrypt str or bytes$"):
        container._encrypt(ptxt, container.ContainerKeys())
    assert drawn == []


def test_layout_records_build_back_to_the_same_bytes():
    blob = small_blob() + b"trailing"
    rec = container.ContainerStruct.parse(blob)
    assert isinstance(rec, container.ConstructContainer) and isinstance(rec, dict)
    assert rec.preamble["oid"] == rec["preamble"].oid == blob[8:24]
    assert all(type(v) is bytes for v in rec.header.values() if not isinstance(v, int))
    assert container.ContainerStruct.build(rec) == blob[: -len(b"trailing")]
    section = blob[56 : 56 + rec.preamble.header_length]
    srec = container.ContainerSectionStruct.parse(section)
    assert srec == rec.header
    assert container.ContainerSectionStruct.build(srec) == section
    assert container.ContainerSectionStruct.build(dict(srec)) == section


# --- blobs written by the twin, read here ---------------------------------------


@pytest.mark.parametrize("oid", [
    bytes(16), b"\xff" * 16, bytes(range(16)), bytes(range(16))[::-1],
    uuid.uuid4().bytes_le, uuid.uuid1().bytes_le, uuid.uuid5(uuid.NAMESPACE_DNS, "a").bytes_le,
], ids=["zeros", "ones", "counting", "reversed", "uuid4", "uuid1", "uuid5"])
def test_identifier_read_from_a_blob_is_the_uuid_of_its_bytes_le(oid):
    blob = twin_blob(oid, twin_section(header_text(None)), twin_section(b"x"))
    got, expected = container.Container(data=blob).id, uuid.UUID(bytes_le=oid)
    assert type(got) is uuid.UUID
    assert (got, str(got), repr(got), hash(got)) == (expected, str(expected), repr(expected), hash(expected))
    assert (got.bytes_le, got.version, got.variant) == (oid, expected.version, expected.variant)
    assert got.is_safe is expected.is_safe


@pytest.mark.parametrize("preamble", [
    {},
    {"version": 7},
    {"cipher_index": 3, "mac_index": MAX64},
    {"header_length": 0, "content_length": 0},
    {"header_length": MAX64, "content_length": 5},
    {"trailing": b"junk" * 10},
], ids=["as-written", "version", "indexes", "zero-lengths", "wrong-lengths", "trailing"])
def test_blob_written_by_the_twin_is_read_here(preamble):
    oid = os.urandom(16)
    custom, content = {"k": ["v", 2]}, os.urandom(300)
    blob = twin_blob(oid, twin_section(header_text(custom)), twin_section(content), **preamble)
    c = container.Container(data=blob)
    assert c.id == uuid.UUID(bytes_le=oid)
    assert c.encrypted and c.length == len(blob) and c.container_keys is None
    assert c._container.preamble.version == preamble.get("version", 1)
    c.decrypt(container.ContainerKeys(cipher_key=CK, mac_key=MK))
    assert (c.header.data, c.content.data) == (custom, content)


def test_changed_iv_passes_the_digest_and_decrypts_to_other_bytes():
    plain = b"sixteen byte msg"
    section = bytearray(twin_section(plain))
    section[8] ^= 1
    out = container._decrypt(bytes(section), container.ContainerKeys(cipher_key=CK, mac_key=MK))
    assert len(out) == len(plain) and out != plain


def written_blob():
    """A blob as Container writes it, its keys and the offset of its content section."""
    c = container.Container(header={"name": "notes.txt"}, content=b"content bytes " * 8)
    keys = c.encrypt()
    return bytearray(c.data), keys, 56 + c._container.preamble.header_length


def flip(blob, at):
    blob[at] ^= 1


def swap_sections(blob, content_at):
    blob[56:] = blob[content_at:] + blob[56:content_at]


# What a blob's MACs cover: each section's ciphertext, and nothing else.
@pytest.mark.parametrize("change, opens", [
    (lambda b, at: flip(b, 0), "as written"),              # version
    (lambda b, at: flip(b, 24), "as written"),             # cipher index
    (lambda b, at: flip(b, 32), "as written"),             # MAC index
    (lambda b, at: flip(b, 40), "as written"),             # header section length
    (lambda b, at: flip(b, 8), "another id"),              # container identifier
    (lambda b, at: flip(b, 64), "other header"),           # header IV
    (lambda b, at: flip(b, at + 8), "other content"),      # content IV
    (lambda b, at: flip(b, at + 8 + 16 + 8 + 5), None),    # content ciphertext
    (lambda b, at: flip(b, len(b) - 1), None),             # content digest
    (lambda b, at: flip(b, 56 + 8 + 16 + 8), None),        # header ciphertext
    (swap_sections, "swapped"),
], ids=["version", "cipher-index", "mac-index", "section-length", "identifier", "header-iv",
        "content-iv", "content-ciphertext", "content-digest", "header-ciphertext", "swapped-sections"])
def test_a_blob_authenticates_its_ciphertexts_and_nothing_else(change, opens):
    blob, keys, content_at = written_blob()
    original = container.Container(data=bytes(blob))
    change(blob, content_at)
    c = container.Container(data=bytes(blob))
    if opens is None:
        with pytest.raises(aes.DecryptionError, match=DIGEST_FAILURE):
            c.decrypt(keys)
        return
    c.decrypt(keys)  # no error: the change is not noticed here
    content = c.content.data
    assert (c.id == original.id) == (opens != "another id")
    if opens in ("as written", "another id"):
        assert (c.header.data, content) == ({"name": "notes.txt"}, b"content bytes " * 8)
    elif opens == "other content":
        assert len(content) == len(b"content bytes " * 8) and content != b"content bytes " * 8
    elif opens == "other header":
        assert content == b"content bytes " * 8
        assert bytes(c.header._data) != header_text({"name": "notes.txt"})
    else:
        assert content == header_text({"name": "notes.txt"})


def test_other_cipher_key_with_the_right_mac_key_gives_other_bytes():
    plain = b"some plaintext"
    out = container._decrypt(twin_section(plain), container.ContainerKeys(mac_key=MK))
    assert len(out) == len(plain) and out != plain


# --- key blob -------------------------------------------------------------------


@pytest.mark.parametrize("kwargs", [
    {},
    {"cipher_key": b"k" * 16, "cipher_index": 5, "mac_index": MAX64},
    {"mac_key": b"m"},
])
def test_key_blob_layout(kwargs):
    keys = container.ContainerKeys(**kwargs)
    blob = bytes(keys)
    ck, mk = keys.cipher_key, keys.mac_key
    n, m = len(ck), len(mk)
    assert (n, m) == (len(kwargs.get("cipher_key", bytes(32))), len(kwargs.get("mac_key", bytes(128))))
    assert len(blob) == 40 + n + m
    assert struct.unpack_from("<3Q", blob) == (1, kwargs.get("cipher_index", 0), n)
    assert blob[24 : 24 + n] == ck
    assert struct.unpack_from("<2Q", blob, 24 + n) == (kwargs.get("mac_index", 0), m)
    assert blob[40 + n :] == mk
    assert container.ContainerKeysStruct.build(container.ContainerKeysStruct.parse(blob)) == blob


def test_generated_key_blob_is_200_bytes_at_the_documented_offsets():
    keys = container.ContainerKeys()
    blob = bytes(keys)
    assert len(blob) == 200
    assert blob[:24] == U64.pack(1) + U64.pack(0) + U64.pack(32)
    assert blob[24:56] == keys.cipher_key and blob[56:72] == U64.pack(0) + U64.pack(128)
    assert blob[72:200] == keys.mac_key


@pytest.mark.parametrize("kwargs", [
    {},
    {"version": 7},
    {"cipher_index": 1, "mac_index": 2},
    {"trailing": b"\x00" * 9},
])
def test_key_blob_written_by_the_twin_is_read_here(kwargs):
    ck, mk = os.urandom(16), os.urandom(128)
    keys = container.ContainerKeys.from_bytes(twin_key_blob(ck, mk, **kwargs))
    assert (keys.cipher_index, keys.mac_index) == (kwargs.get("cipher_index", 0), kwargs.get("mac_index", 0))
    assert (keys.cipher_key, keys.mac_key) == (ck, mk)
    assert bytes(keys) == twin_key_blob(ck, mk, cipher_index=keys.cipher_index, mac_index=keys.mac_index)


@pytest.mark.parametrize("ck, mk", [(b"", MK), (CK, b""), (b"", b"")])
def test_key_blob_with_an_empty_key_is_refused(ck, mk):
    for parse in (container.ContainerKeys.from_bytes, container.ContainerKeysStruct.parse):
        with pytest.raises(ParseError):
            parse(twin_key_blob(ck, mk))


# --- truncated and hostile input -----------------------------------------------


def test_truncated_blob_is_a_parse_error_at_every_offset():
    blob = small_blob()
    assert len(blob) == 232 + len(header_text(None))
    for cut in range(len(blob)):
        with pytest.raises(ParseError):
            container.ContainerStruct.parse(blob[:cut])
        if cut:
            with pytest.raises(ParseError):
                container.Container(data=blob[:cut])


def test_truncated_section_is_a_parse_error_at_every_offset():
    keys = container.ContainerKeys()
    section = container._encrypt(b"abc", keys)
    for cut in range(len(section)):
        for parse in (container.ContainerSectionStruct.parse, lambda b: container._decrypt(b, keys)):
            with pytest.raises(ParseError):
                parse(section[:cut])


def test_truncated_key_blob_is_a_parse_error_at_every_offset():
    blob = bytes(container.ContainerKeys())
    for cut in range(len(blob)):
        for parse in (container.ContainerKeys.from_bytes, container.ContainerKeysStruct.parse):
            with pytest.raises(ParseError):
                parse(blob[:cut])


@pytest.mark.parametrize("value", HOSTILE_LENGTHS)
def test_hostile_length_field_is_a_parse_error(value):
    blob = small_blob()
    for offset in length_field_offsets(blob):
        bad = blob[:offset] + U64.pack(value) + blob[offset + 8 :]
        for parse in (container.ContainerStruct.parse, lambda b: container.Container(data=b)):
            with pytest.raises(ParseError):
                parse(bad)
    section = blob[56 : length_field_offsets(blob)[3]]
    for offset in length_field_offsets(blob)[:3]:
        bad = section[: offset - 56] + U64.pack(value) + section[offset - 48 :]
        with pytest.raises(ParseError):
            container._decrypt(bad, container.ContainerKeys())
    key_blob = bytes(container.ContainerKeys())
    for offset in (16, 64):
        bad = key_blob[:offset] + U64.pack(value) + key_blob[offset + 8 :]
        with pytest.raises(ParseError):
            container.ContainerKeys.from_bytes(bad)


# --- digest failures ----------------------------------------------------------


def tampered(kind):
    fields = list(twin_read_section(twin_section(b"plaintext bytes"))[0])
    if kind == "ciphertext":
        fields[1] = bytes([fields[1][0] ^ 0x80]) + fields[1][1:]
    elif kind == "digest":
        fields[2] = fields[2][:-1] + bytes([fields[2][-1] ^ 1])
    elif kind == "short digest":
        fields[2] = fields[2][:-1]
    elif kind == "long digest":
        fields[2] = fields[2] + b"\x00"
    elif kind == "empty digest":
        fields[2] = b""
    return pack_fields(*fields)


@pytest.mark.parametrize("kind, mac_key", [
    ("ciphertext", MK), ("digest", MK), ("short digest", MK), ("long digest", MK),
    ("empty digest", MK), ("as written", bytes(128)),
])
def test_digest_failure_logs_one_error_line_and_raises_decryption_error(kind, mac_key, log_lines):
    keys = container.ContainerKeys(cipher_key=CK, mac_key=mac_key)
    with pytest.raises(aes.DecryptionError) as info:
        container._decrypt(tampered(kind), keys)
    assert info.value.args == (DIGEST_FAILURE,)
    assert log_lines(LOGGER) == [(logging.ERROR, DIGEST_FAILURE)]


def test_blob_with_a_changed_content_byte_fails_its_digest(log_lines):
    c = container.Container(header={"h": 1}, content=b"payload")
    keys = c.encrypt()
    blob = bytearray(c.data)
    blob[-57] ^= 1  # last ciphertext byte of the content section (before digest and its length)
    with pytest.raises(aes.DecryptionError, match=DIGEST_FAILURE):
        container.Container(data=bytes(blob)).decrypt(keys)
    assert log_lines(LOGGER) == [(logging.ERROR, DIGEST_FAILURE)]


# --- late lookups ----------------------------------------------------------------


AES_UNLOADED = r"""
import json, logging, sys, types, hashlib, hmac, struct
sys.modules["velna.providers"] = types.ModuleType("velna.providers")  # a registry that loads nothing
import velna.crypto as crypto
import velna.crypto.container as c
lines = []
class Keep(logging.Handler):
    def emit(self, record):
        lines.append([record.levelname, record.getMessage()])
logging.getLogger("velna.crypto.container").addHandler(Keep())
out = {"loaded": "velna.crypto.aes" in sys.modules or hasattr(crypto, "aes")}
keys = c.ContainerKeys()
def section(digest):
    ct = b"abc"
    return b"".join(struct.pack("<Q", len(f)) + f for f in (bytes(16), ct, digest(ct)))
good = section(lambda ct: hmac.new(keys.mac_key, ct, hashlib.sha384).digest())
bad = section(lambda ct: bytes(48))
for name, call in [("type", lambda: c._encrypt(5, keys)), ("encrypt", lambda: c._encrypt(b"x", keys)),
                   ("decrypt", lambda: c._decrypt(good, keys)), ("bad", lambda: c._decrypt(bad, keys))]:
    try:
        call()
        out[name] = "ok"
    except Exception as e:
        out[name] = type(e).__name__
out["lines"] = lines
print(json.dumps(out))
"""


def test_sections_need_crypto_aes_loaded_by_someone_else():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run([sys.executable, "-c", AES_UNLOADED], capture_output=True, text=True,
                            timeout=60, env=env)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == {
        "loaded": False, "type": "ValueError", "encrypt": "AttributeError",
        "decrypt": "AttributeError", "bad": "AttributeError",
        "lines": [["ERROR", DIGEST_FAILURE]],
    }


def test_container_keys_draw_through_crypto_random_and_hmac_key_length(fake_random, monkeypatch):
    monkeypatch.setattr(vhmac, "HMAC_KEY_LENGTH", 64)
    keys = container.ContainerKeys()
    assert fake_random == [32, 64]
    assert (keys.cipher_key, keys.mac_key) == (bytes(range(1, 33)), bytes(range(1, 65)))


def test_section_iv_comes_through_a_replaced_crypto_random(fake_random):
    keys = container.ContainerKeys(cipher_key=CK, mac_key=MK)
    fields = twin_read_section(container._encrypt(b"data", keys))[0]
    assert fake_random == [8] and fields[0] == bytes(range(1, 9)) + bytes(8)
    assert twin_open(fields) == b"data"


def record(calls, result):
    def fake(*args, **kwargs):
        calls.append((args, kwargs))
        return result(*args, **kwargs)
    return fake


def test_section_encryption_honours_replaced_aes_and_hmac_functions(monkeypatch):
    calls = {"iv": [], "enc": [], "digest": []}
    iv = b"I" * 8 + bytes(8)
    monkeypatch.setattr(aes, "create_iv", record(calls["iv"], lambda: iv))
    monkeypatch.setattr(aes, "encrypt", record(calls["enc"], lambda **kw: b"E" * len(kw["data"])))
    monkeypatch.setattr(vhmac, "digest", record(calls["digest"], lambda k, d: b"D" * 48))
    keys = container.ContainerKeys(cipher_key=CK, mac_key=MK)
    section = container._encrypt("txt", keys)
    assert section == pack_fields(iv, b"EEE", b"D" * 48)
    assert calls == {"iv": [((), {})], "enc": [((), {"iv": iv, "cipher_key": CK, "data": b"txt"})],
                     "digest": [((MK, b"EEE"), {})]}


def test_section_decryption_honours_replaced_verify_and_decrypt(monkeypatch, log_lines):
    keys = container.ContainerKeys(cipher_key=CK, mac_key=MK)
    section = pack_fields(b"I" * 16, b"CT", b"not a digest")
    calls = {"verify": [], "dec": []}
    monkeypatch.setattr(vhmac, "verify", record(calls["verify"], lambda *a: None))
    monkeypatch.setattr(aes, "decrypt", record(calls["dec"], lambda **kw: b"plain"))
    assert container._decrypt(section, keys) == b"plain"
    assert calls == {"verify": [((MK, b"CT", b"not a digest"), {})],
                     "dec": [((), {"cipher_key": CK, "iv": b"I" * 16, "data": b"CT"})]}

    def refuse(*args):
        raise crypto.InvalidSignature()

    monkeypatch.setattr(vhmac, "verify", refuse)
    with pytest.raises(aes.DecryptionError, match=DIGEST_FAILURE):
        container._decrypt(section, keys)
    assert log_lines(LOGGER) == [(logging.ERROR, DIGEST_FAILURE)]

    def broken(*args):
        raise KeyError("other failure")

    monkeypatch.setattr(vhmac, "verify", broken)
    with pytest.raises(KeyError, match="other failure"):
        container._decrypt(section, keys)
    assert len(log_lines(LOGGER)) == 1


@pytest.mark.parametrize("module, name", [
    (aes, "create_iv"), (aes, "encrypt"), (vhmac, "digest"), (crypto, "random"),
])
def test_container_encryption_honours_a_replaced_primitive(module, name, monkeypatch):
    calls = []
    monkeypatch.setattr(module, name, record(calls, getattr(module, name)))
    c = container.Container(header={"h": 1}, content=b"content bytes")
    keys = c.encrypt(container.ContainerKeys(cipher_key=CK, mac_key=MK))
    assert len(calls) == 2
    got = twin_read_blob(c.data)
    assert twin_open(got["content"], keys.cipher_key, keys.mac_key) == b"content bytes"
    assert twin_open(got["header"]) == header_text({"h": 1})


# --- a caller's buffer while the GIL is released ------------------------------------

RELEASE_DURING_DECRYPTION = r"""
import sys, threading
import velna.crypto.aes
import velna.crypto.container as c

# The other thread gets the GIL only when the decryption lets go of it.
sys.setswitchinterval(30.0)
keys = c.ContainerKeys()
plain = bytes(range(256)) * (8 << 12)
view = memoryview(c._encrypt(plain, keys))  # the view holds the only reference to the section
junk = []


def release():
    go.wait()
    view.release()
    junk.append(b"Z" * (2 * len(plain)))  # takes up memory that was freed, if any


go = threading.Event()
thread = threading.Thread(target=release)
thread.start()
go.set()
if sys.argv[1] == "section":
    out = c._decrypt(view, keys)
else:
    payload = c.RawPayload(enc_data=view)
    payload.decrypt(keys)
    out = payload.data
thread.join()
print(out == plain, len(junk))
"""


@pytest.mark.parametrize("how", ["section", "payload"])
def test_a_view_released_by_another_thread_during_decryption_frees_nothing_in_use(how):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run([sys.executable, "-c", RELEASE_DURING_DECRYPTION, how],
                            capture_output=True, text=True, timeout=120, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "1"]
