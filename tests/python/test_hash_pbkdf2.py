"""Digest normalisation (velna.crypto.hash) and the key-file PBKDF2 engines
(velna.crypto.pbkdf2), checked against the standard library's hashlib."""
import functools
import hashlib

import pytest

import velna._cryptolib as lib
import velna.crypto as crypto
import velna.crypto.hash as vhash
import velna.crypto.pbkdf2 as pbkdf2

HEX96 = "0123456789abcdef" * 6
assert len(HEX96) == 96


def python_would_keep(data, digest_size=48):
    """The digest test written with the runtime's own int(x, 16)."""
    keep = len(data) == 2 * digest_size
    try:
        int(data, 16)
    except ValueError:
        keep = False
    return keep


def hex_digest(data, name="sha384"):
    if isinstance(data, str):
        data = data.encode("utf-8")
    return hashlib.new(name, data).hexdigest()


# (label, data, kept): kept says whether get_hash must hand back the very
# object it was given; the table is also checked against int(x, 16).
GET_HASH_CASES = [
    ("lower-case digest", HEX96, True),
    ("capitals kept as they are", HEX96.upper(), True),
    ("mixed case", "aBcDeF0123" * 9 + "abcdef", True),
    ("leading blank", " " + HEX96[:95], True),
    ("trailing blank", HEX96[:95] + " ", True),
    ("tab and newline around", "\t" + HEX96[:94] + "\n", True),
    ("ideographic space (Unicode white space)", "\u3000" + HEX96[:95], True),
    ("blank inside", HEX96[:48] + " " + HEX96[49:], False),
    ("leading plus", "+" + HEX96[:95], True),
    ("leading minus", "-" + HEX96[:95], True),
    ("two signs", "+-" + HEX96[:94], False),
    ("0x prefix", "0x" + HEX96[:94], True),
    ("0X prefix", "0X" + HEX96[:94], True),
    ("sign then prefix", "-0x" + HEX96[:93], True),
    ("underscore after prefix", "0x_" + HEX96[:93], True),
    ("single underscores between digits", "_".join(["ab"] * 32) + "a", True),
    ("double underscore", HEX96[:47] + "__" + HEX96[49:], False),
    ("leading underscore", "_" + HEX96[:95], False),
    ("trailing underscore", HEX96[:95] + "_", False),
    ("letter beyond f", HEX96[:95] + "g", False),
    ("Arabic-Indic digits", "\u0661\u0662\u0663" * 32, True),
    ("Devanagari digits mixed with a-f", "\u0967a" * 48, True),
    ("fullwidth digits", "\uff10\uff11" * 48, True),
    ("fullwidth letters are not digits", "\uff41" * 96, False),
    ("95 digits", HEX96[:95], False),
    ("97 digits", HEX96 + "0", False),
    ("empty", "", False),
    ("8 characters", "password", False),
    ("96 non-ASCII letters", "\u00e9" * 96, False),
    ("bytes digest", HEX96.encode(), True),
    ("bytes digest in capitals", HEX96.upper().encode(), True),
    ("bytes with leading blank", b" " + HEX96[:95].encode(), True),
    ("bytes 0x prefix", b"0x" + HEX96[:94].encode(), True),
    ("bytes 95 digits", HEX96[:95].encode(), False),
    ("bytes 97 digits", HEX96.encode() + b"0", False),
    ("bytes non-hex", b"z" * 96, False),
    ("bytes password", b"password", False),
]


@pytest.mark.parametrize("label,data,kept", GET_HASH_CASES, ids=[c[0] for c in GET_HASH_CASES])
def test_get_hash_keeps_exactly_what_int_base16_accepts_at_twice_the_digest_size(label, data, kept):
    assert python_would_keep(data) is kept, "the table disagrees with int(x, 16)"
    result = vhash.get_hash(data)
    if kept:
        assert result is data
    else:
        assert type(result) is str
        assert result == hex_digest(data)
        assert len(result) == 96 and result == result.lower()


def test_get_hash_of_its_own_result_is_the_same_object():
    first = vhash.get_hash("secret12")
    assert len(first) == 96
    assert vhash.get_hash(first) is first


def test_get_hash_keeps_text_subclasses_as_the_same_object():
    class Text(str):
        pass

    data = Text(HEX96)
    assert vhash.get_hash(data) is data


def test_get_hash_of_text_and_of_its_utf8_bytes_agree():
    text = "pässwörd ünïcode"
    assert vhash.get_hash(text) == vhash.get_hash(text.encode("utf-8")) == hex_digest(text)


def test_get_hash_with_sha256_tests_against_64_characters():
    hex64 = HEX96[:64]
    assert vhash.get_hash(hex64, algorithm=lib.hashes.SHA256) is hex64
    assert vhash.get_hash(HEX96, lib.hashes.SHA256) == hex_digest(HEX96, "sha256")
    assert len(vhash.get_hash("abc", lib.hashes.SHA256)) == 64


def test_get_hash_default_algorithm_is_the_sha384_class():
    assert vhash.get_hash(data="abc") == vhash.get_hash("abc", lib.hashes.SHA384) == hex_digest("abc")


@pytest.mark.parametrize(
    "data",
    [None, 5, 3.5, [], ["a"] * 96, list(HEX96)],
    ids=["None", "int", "float", "empty list", "list of 96", "list of digits"],
)
def test_get_hash_refuses_values_that_are_neither_text_nor_bytes(data):
    with pytest.raises(TypeError):
        vhash.get_hash(data)


def test_get_hash_refuses_an_algorithm_instance():
    with pytest.raises(TypeError):
        vhash.get_hash("abc", lib.hashes.SHA384())


def test_get_hash_uses_the_modules_hash_function(monkeypatch):
    calls = []

    def spy(data, algo):
        calls.append((data, algo.digest_size))
        return "digest"

    monkeypatch.setattr(vhash, "_hash", spy)
    assert vhash.get_hash("abc") == "digest"
    assert vhash.get_hash(HEX96) == HEX96
    assert calls == [("abc", 48)]


def test_hash_module_binds_the_crypto_package_names():
    assert vhash.hashes is crypto.hashes
    assert vhash._hash is crypto._hash


# ---- PBKDF2 ----------------------------------------------------------------

SALTS = [
    ("empty salt", b""),
    ("8-byte salt", bytes(range(8))),
    ("16-byte salt", b"\xff" * 16),
    ("long salt", bytes(range(256)) * 4),
]
SECRETS = [
    ("empty secret", b""),
    ("hex password", hex_digest("Password1!").encode()),
    ("secret longer than a SHA-384 block", b"k" * 300),
]


@pytest.mark.parametrize("salt", [s[1] for s in SALTS], ids=[s[0] for s in SALTS])
@pytest.mark.parametrize("secret", [s[1] for s in SECRETS[1:2]], ids=[SECRETS[1][0]])
def test_create_key_equals_hashlib_pbkdf2_hmac_sha384(secret, salt):
    expected = hashlib.pbkdf2_hmac("sha384", secret, salt, 100000, 32)
    assert pbkdf2.create_key(secret, salt) == expected


@pytest.mark.parametrize("secret", [s[1] for s in SECRETS], ids=[s[0] for s in SECRETS])
def test_engine_one_derives_what_hashlib_derives(secret):
    salt = b"saltsalt"
    engine = pbkdf2.engines[1](salt=salt)
    assert engine.derive(secret) == hashlib.pbkdf2_hmac("sha384", secret, salt, 100000, 32)


def test_engines_hold_exactly_version_one():
    assert list(pbkdf2.engines) == [1]
    assert pbkdf2.engines[1] is pbkdf2.V1_PBKDF2
    with pytest.raises(KeyError):
        pbkdf2.engines[2]


def test_v1_engine_is_a_partial_of_the_library_class_with_fixed_parameters():
    v1 = pbkdf2.V1_PBKDF2
    assert isinstance(v1, functools.partial)
    assert v1.func is lib.PBKDF2HMAC
    assert v1.args == ()
    assert sorted(v1.keywords) == ["algorithm", "backend", "iterations", "length"]
    assert isinstance(v1.keywords["algorithm"], lib.hashes.SHA384)
    assert v1.keywords["length"] == 32
    assert v1.keywords["iterations"] == 100000
    assert v1.keywords["backend"] is crypto.backend


def test_an_engine_derives_once_only():
    engine = pbkdf2.V1_PBKDF2(salt=b"12345678")
    assert len(engine.derive(b"secret")) == 32
    with pytest.raises(lib.AlreadyFinalized):
        engine.derive(b"secret")


def test_same_inputs_give_the_same_key_and_another_salt_another_key():
    a = pbkdf2.create_key(b"secret", b"salt0001")
    assert a == pbkdf2.create_key(secret=b"secret", salt=b"salt0001")
    assert a != pbkdf2.create_key(b"secret", b"salt0002")
    assert a != pbkdf2.create_key(b"secreT", b"salt0001")


@pytest.mark.parametrize("salt", [None, b"", "", 0, False, []], ids=repr)
def test_a_false_salt_is_the_empty_byte_string(salt):
    expected = hashlib.pbkdf2_hmac("sha384", b"secret", b"", 100000, 32)
    assert pbkdf2.create_key(b"secret", salt) == expected


def test_create_key_without_salt_uses_the_empty_salt():
    assert pbkdf2.create_key(b"secret") == pbkdf2.V1_PBKDF2(salt=b"").derive(b"secret")


@pytest.mark.parametrize("length", [0, 16, 31, 33, 64, None, 32.0, True, "32"], ids=repr)
def test_create_key_refuses_lengths_other_than_32(length):
    with pytest.raises(ValueError):
        pbkdf2.create_key(b"secret", b"salt", length)


def test_create_key_accepts_length_32_by_keyword():
    assert len(pbkdf2.create_key(b"secret", b"salt", length=32)) == 32


@pytest.mark.parametrize(
    "secret,salt",
    [("text secret", b"salt"), (b"secret", "text salt"), (bytearray(b"secret"), b"salt"), (None, b"salt")],
    ids=["text secret", "text salt", "bytearray secret", "None secret"],
)
def test_create_key_refuses_inputs_that_are_not_bytes(secret, salt):
    with pytest.raises(TypeError):
        pbkdf2.create_key(secret, salt)


def test_create_key_looks_engine_one_up_at_each_call(monkeypatch):
    calls = []

    class Engine:
        def __init__(self, salt):
            calls.append(("build", salt))

        def derive(self, key_material):
            calls.append(("derive", key_material))
            return b"k" * 32

    monkeypatch.setitem(pbkdf2.engines, 1, Engine)
    assert pbkdf2.create_key(b"secret") == b"k" * 32
    assert pbkdf2.create_key(b"secret", b"salt") == b"k" * 32
    assert calls == [("build", b""), ("derive", b"secret"), ("build", b"salt"), ("derive", b"secret")]


def test_create_key_runs_a_replacement_engine_through_the_library(monkeypatch):
    fast = functools.partial(
        lib.PBKDF2HMAC, algorithm=lib.hashes.SHA384(), length=32, iterations=1, backend=crypto.backend
    )
    monkeypatch.setitem(pbkdf2.engines, 1, fast)
    assert pbkdf2.create_key(b"secret", b"salt") == hashlib.pbkdf2_hmac("sha384", b"secret", b"salt", 1, 32)


def test_create_key_reads_the_engine_table_as_the_module_holds_it(monkeypatch):
    monkeypatch.setattr(pbkdf2, "engines", {})
    with pytest.raises(KeyError):
        pbkdf2.create_key(b"secret")


def test_create_key_follows_the_v1_engine_when_its_keywords_are_changed_in_place(monkeypatch):
    monkeypatch.setitem(pbkdf2.V1_PBKDF2.keywords, "iterations", 2)
    assert pbkdf2.create_key(b"secret", b"salt") == hashlib.pbkdf2_hmac("sha384", b"secret", b"salt", 2, 32)
    monkeypatch.undo()
    assert pbkdf2.create_key(b"secret", b"salt") == hashlib.pbkdf2_hmac("sha384", b"secret", b"salt", 100000, 32)
