"""velna.utils: zero fill, the credential rule, identifier coercion and the
portion check, with the standard uuid module as the oracle for UUID."""
import logging
import uuid

import pytest

import velna.utils as utils

CANONICAL = "12345678-9abc-def0-1234-56789abcdef0"
HEX = CANONICAL.replace("-", "")


def outcome(fn, *args, **kwargs):
    try:
        return "ok", fn(*args, **kwargs)
    except Exception as e:  # the kind and text of the error are the outcome
        return type(e), str(e)


def test_module_binds_its_names_in_order():
    names = [n for n in vars(utils) if not n.startswith("__")]
    assert names == ["log", "pad", "_validity_checker", "is_passphrase_valid", "is_password_valid",
                     "is_reminder_valid", "UUID", "portion_checker"]
    assert utils.log.name == "velna.utils"


# ---------------------------------------------------------------------- pad

@pytest.mark.parametrize("s, length, expected", [
    (b"", 4, bytes(4)),
    (b"n" * 8, 16, b"n" * 8 + bytes(8)),
    (b"n" * 16, 16, b"n" * 16 + bytes(16)),
    (b"n" * 17, 16, b"n" * 17 + bytes(15)),
    (b"abc", 1, b"abc\x00"),
    (b"\x00\xff", 3, b"\x00\xff\x00"),
])
def test_pad_fills_to_the_next_multiple_above_the_length(s, length, expected):
    assert utils.pad(s, length) == expected
    assert utils.pad(length=length, s=s) == expected


@pytest.mark.parametrize("s, length, error", [
    (b"abc", 0, ZeroDivisionError),
    ("abc", 16, TypeError),
])
def test_pad_errors_are_the_runtimes(s, length, error):
    with pytest.raises(error):
        utils.pad(s, length)


# --------------------------------------------------------- credential rule

SPECIALS = ".!@#$%^&*()_"


@pytest.mark.parametrize("value, valid", [
    ("Abcdefg1", True),
    ("Abcde1!", False),                      # 7 characters, all four classes
    ("abcdefgh12", False),                   # two classes
    ("ABCDEFGH12", False),
    ("abcdefgh!!", False),
    ("ABCDabcd", False),
    ("ABCDabcd!", True),
    ("Ab1\u00e9\u00e9\u00e9\u00e9\u00e9", True),   # 8 characters, 13 bytes
    ("Ab1\u00e9\u00e9\u00e9\u00e9", False),        # 7 characters, 11 bytes
    ("\u00c9\u00c9\u00c9\u00c9abc1", False),       # accented capitals count for nothing
    ("\u0391\u0392\u0393\u0394abc!", False),       # Greek capitals
    ("abcdefgh\u0661\u0662!", False),              # Arabic-Indic digits
    ("abcdefgh\uff11\uff12!", False),              # full-width digits
    ("ABCDEFGH\uff41\uff42!", False),              # full-width small letters
    ("Ab1\ud800xxxx", True),                       # a lone surrogate is just a character
    ("Abcdefg1" * 100, True),
    (None, False), ("", False), (b"", False), (12345678, False), (1.5, False),
    (["Abcdefg1"], False), (bytearray(b"Abcdefg1"), False), (object(), False),
    (b"Abcdefg1", True),
    (b"abcdefg1", False),
    (b"Ab1\xff\xff\xff\xff\xff", True),
    (b"ab1\xc3\x89\xc3\x89\xc3\x89", False),       # UTF-8 capitals as bytes count for nothing
    (b"Abcde1!", False),
] + [("abcdefgh12" + c, True) for c in SPECIALS]
  + [("abcdefgh12" + c, False) for c in "-+ ,?\\[]~'\"/"])
def test_credential_rule(value, valid):
    for fn, kw in [(utils._validity_checker, "value"), (utils.is_password_valid, "password"),
                   (utils.is_passphrase_valid, "passphrase")]:
        assert fn(value) is valid
        assert fn(**{kw: value}) is valid


@pytest.mark.parametrize("reminder", [None, "", "x", b"", 0, object()])
def test_every_reminder_is_valid(reminder):
    assert utils.is_reminder_valid(reminder) is True
    assert utils.is_reminder_valid(reminder=reminder) is True


# --------------------------------------------------------------------- UUID

@pytest.mark.parametrize("text", [
    CANONICAL, "{%s}" % CANONICAL, "urn:uuid:" + CANONICAL, CANONICAL.upper(), HEX, HEX.upper(),
    "-".join(HEX[i:i + 4] for i in range(0, 32, 4)), "{" + HEX + "}",
    HEX[:31], HEX + "0", HEX[:31] + "g", "", "not a uuid", "URN:UUID:" + CANONICAL,
    "{" + CANONICAL, " " + CANONICAL,
])
def test_text_is_parsed_exactly_as_uuid_does(text):
    assert outcome(utils.UUID, text) == outcome(uuid.UUID, text)
    assert outcome(utils.UUID, value=text) == outcome(uuid.UUID, text)


def test_canonical_forms_all_give_the_same_uuid():
    expected = uuid.UUID(CANONICAL)
    for text in [CANONICAL, "{%s}" % CANONICAL, "urn:uuid:" + CANONICAL, CANONICAL.upper(), HEX]:
        result = utils.UUID(text)
        assert type(result) is uuid.UUID and result == expected


@pytest.mark.parametrize("value", [HEX.encode(), CANONICAL.encode(), b""])
def test_a_byte_string_value_is_a_type_error(value):
    assert outcome(utils.UUID, value)[0] is TypeError


@pytest.mark.parametrize("value", [uuid.uuid4(), 5, 0, 2**128, 1.5, object(), ["x"]])
def test_objects_without_text_operations_pass_through_as_the_very_same_object(value):
    assert utils.UUID(value) is value


@pytest.mark.parametrize("value", [None, "garbage", CANONICAL])
def test_sixteen_bytes_le_win_over_value(value):
    raw = bytes(range(16))
    result = utils.UUID(value, raw)
    assert result == uuid.UUID(bytes_le=raw) == uuid.UUID("03020100-0504-0706-0809-0a0b0c0d0e0f")
    assert utils.UUID(bytes_le=raw, value=value) == result


@pytest.mark.parametrize("bytes_le", [bytes(15), bytes(17), b"x"])
def test_bytes_le_of_another_length_fails_as_uuid_does(bytes_le):
    assert outcome(utils.UUID, CANONICAL, bytes_le) == outcome(uuid.UUID, bytes_le=bytes_le)
    assert outcome(utils.UUID, CANONICAL, bytes_le)[0] is ValueError


@pytest.mark.parametrize("falsy", [b"", None, 0, bytearray()])
def test_a_false_bytes_le_leaves_value_to_be_parsed(falsy):
    assert utils.UUID(CANONICAL, falsy) == uuid.UUID(CANONICAL)


@pytest.mark.parametrize("args, kwargs", [((), {}), ((None,), {}), ((None, b""), {}),
                                          ((), {"bytes_le": b""})])
def test_nothing_is_a_value_error_with_an_empty_text(args, kwargs):
    with pytest.raises(ValueError) as e:
        utils.UUID(*args, **kwargs)
    assert type(e.value) is ValueError and str(e.value) == "" and e.value.args == ()


# ------------------------------------------------------------ portion check

@pytest.mark.parametrize("portion", ["all", "header", "content", "metadata"])
def test_portion_names_pass_silently(portion, log_lines):
    assert utils.portion_checker(portion) is None
    assert utils.portion_checker(portion=portion) is None
    assert log_lines("velna.utils") == []


@pytest.mark.parametrize("portion", ["Header", "headers", "", " all", "all\x00", "\ud800", None, 3,
                                     b"header"])
def test_other_portions_log_one_error_and_raise_it(portion, log_lines):
    with pytest.raises(ValueError) as e:
        utils.portion_checker(portion)
    message = str(e.value)
    assert type(e.value) is ValueError and e.value.args == (message,)
    prefix, suffix = "Invalid portion.  Must be one of {", "}."
    assert message.startswith(prefix) and message.endswith(suffix)
    names = message[len(prefix):-len(suffix)].split(", ")
    assert sorted(names) == sorted("'%s'" % n for n in ["all", "header", "content", "metadata"])
    assert log_lines("velna.utils") == [(logging.ERROR, message)]


def test_an_unhashable_portion_fails_as_set_membership_does():
    with pytest.raises(TypeError):
        utils.portion_checker(["header"])
