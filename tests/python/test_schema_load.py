"""Schema loading of the binding support library, through a schema class made
by the test probe: field conversions and their messages, external names,
error collection per item, hooks and strict loading."""
import datetime
import re
import uuid

import pytest

import _velna_probe as probe

UID = "6f1e0b62-3b0a-4c55-9a57-0f1d8cf1f3aa"
UTC = datetime.timezone.utc


def schema(kind, load_from=None, allow_none=False, required=False, hooks=((), ()), ns=None):
    return probe.make_schema(
        "One", [("value", kind, load_from, allow_none, required)], list(hooks[0]), list(hooks[1]), ns or {}
    )


# (kind, input, loaded value or the error message)
CONVERSIONS = [
    ("Raw", b"\x00pem", b"\x00pem"),
    ("Raw", [1, 2], [1, 2]),
    ("Int", 7, 7),
    ("Int", "12", 12),
    ("Int", b"12", 12),
    ("Int", 2.9, 2),
    ("Int", True, 1),
    ("Int", "1.5", "Not a valid integer."),
    ("Int", [1], "Not a valid integer."),
    ("Int", "", "Not a valid integer."),
    ("Int", float("inf"), "Not a valid integer."),
    ("Str", "text", "text"),
    ("Str", b"bytes", "bytes"),
    ("Str", b"\xff", "Not a valid utf-8 string."),
    ("Str", 5, "Not a valid string."),
    ("Bool", True, True),
    ("Bool", False, False),
    ("Bool", 1, True),
    ("Bool", 0.0, False),
    ("Bool", "TRUE", True),
    ("Bool", "f", False),
    ("Bool", "yes", "Not a valid boolean."),
    ("Bool", 2, "Not a valid boolean."),
    ("Bool", [], "Not a valid boolean."),
    ("Bool", {}, "Not a valid boolean."),
    ("DateTime", "2021-03-04T05:06:07", datetime.datetime(2021, 3, 4, 5, 6, 7)),
    ("DateTime", "2021-03-04 05:06", datetime.datetime(2021, 3, 4, 5, 6)),
    ("DateTime", "2021-03-04T05:06:07.25Z", datetime.datetime(2021, 3, 4, 5, 6, 7, 250000, UTC)),
    (
        "DateTime",
        "2021-03-04T05:06:07-0230",
        datetime.datetime(2021, 3, 4, 5, 6, 7, tzinfo=datetime.timezone(-datetime.timedelta(hours=2, minutes=30))),
    ),
    ("DateTime", "", "Not a valid datetime."),
    ("DateTime", "2021-03-04", "Not a valid datetime."),
    ("DateTime", "2021-13-04T05:06:07", "Not a valid datetime."),
    ("DateTime", b"2021-03-04T05:06:07", "Not a valid datetime."),
    ("DateTime", 1614834367, "Not a valid datetime."),
    ("UUID", UID, uuid.UUID(UID)),
    ("UUID", UID.replace("-", "").upper(), uuid.UUID(UID)),
    ("UUID", uuid.UUID(UID), uuid.UUID(UID)),
    ("UUID", "not-an-id", "Not a valid UUID."),
    ("UUID", 5, "Not a valid UUID."),
    ("UUID", b"x" * 16, "Not a valid UUID."),
    ("Dict", {"a": [1]}, {"a": [1]}),
    ("Dict", [("a", 1)], "Not a valid mapping type."),
    ("Dict", "{}", "Not a valid mapping type."),
]


@pytest.mark.parametrize("kind,given,expected", CONVERSIONS)
def test_field_conversion_and_message(kind, given, expected):
    data, errors = schema(kind)().load({"value": given})
    if isinstance(expected, str) and expected.startswith("Not a valid"):
        assert (data, errors) == ({}, {"value": [expected]})
    else:
        assert errors == {}
        assert data == {"value": expected} and type(data["value"]) is type(expected)


@pytest.mark.parametrize("kind", ["Raw", "Int", "Str", "Bool", "DateTime", "UUID", "Dict"])
def test_null_absent_and_required(kind):
    assert schema(kind)().load({"value": None}) == ({}, {"value": ["Field may not be null."]})
    assert schema(kind, allow_none=True)().load({"value": None}) == ({"value": None}, {})
    assert schema(kind)().load({"other": 1}) == ({}, {})
    assert schema(kind, required=True)().load({}) == ({}, {"value": ["Missing data for required field."]})


def test_external_name_is_read_when_the_attribute_key_is_absent_and_errors_name_the_key_read():
    s = schema("Int", load_from="eventId")()
    assert s.load({"eventId": "4"}) == ({"value": 4}, {})
    assert s.load({"value": 1, "eventId": 2}) == ({"value": 1}, {})
    assert s.load({"eventId": "x"}) == ({}, {"eventId": ["Not a valid integer."]})
    assert s.load({"value": "x", "eventId": 2}) == ({}, {"value": ["Not a valid integer."]})


def test_many_collects_errors_per_item_index_and_keeps_partial_items():
    s = schema("Int")(many=True)
    result = s.load([{"value": 1}, {"value": "x"}, 3, {"value": "2"}])
    assert isinstance(result, probe.UnmarshalResult)
    assert result.data == [{"value": 1}, {}, None, {"value": 2}]
    assert result.errors == {1: {"value": ["Not a valid integer."]}, 2: {"_schema": ["Invalid input type."]}}
    assert s.load([]) == ([], {})
    assert schema("Int")().load([{"value": 1}], many=True) == ([{"value": 1}], {})


def test_hooks_run_in_order_and_post_load_only_without_errors():
    calls = []

    def pre_many(self, data, many):
        calls.append(("pre_many", many))
        return [dict(d, value=d["raw"]) for d in data]

    def pre_item(self, item):
        calls.append(("pre_item",))
        # Returning nothing keeps the item as it was.

    def post_many(self, data, many):
        calls.append(("post_many", many))
        return ("ring", data)

    ns = {"pre_many": pre_many, "pre_item": pre_item, "post_many": post_many}
    hooks = ([("pre_item", False), ("pre_many", True)], [("post_many", True)])
    s = schema("Int", hooks=hooks, ns=ns)(many=True)
    assert s.load([{"raw": "1"}, {"raw": 2}]) == (("ring", [{"value": 1}, {"value": 2}]), {})
    assert calls == [("pre_many", True), ("pre_item",), ("pre_item",), ("post_many", True)]
    calls.clear()
    data, errors = s.load([{"raw": "x"}])
    assert (data, errors) == ([{}], {0: {"value": ["Not a valid integer."]}})
    assert ("post_many", True) not in calls


def test_hook_validation_error_and_other_errors():
    def refuse(self, data, many):
        raise probe.ValidationError("no rows")

    def explode(self, data, many):
        return data[0]

    s = schema("Int", hooks=([("refuse", True)], []), ns={"refuse": refuse})()
    assert s.load({"value": 1}) == (None, {"_schema": ["no rows"]})
    s = schema("Int", hooks=([], [("explode", True)]), ns={"explode": explode})(many=True)
    with pytest.raises(IndexError):
        s.load([])


def test_strict_raises_a_validation_error_with_messages_and_data():
    s = schema("Int")(strict=True, many=True)
    with pytest.raises(probe.ValidationError) as info:
        s.load([{"value": "x"}])
    e = info.value
    assert e.messages == {0: {"value": ["Not a valid integer."]}}
    assert str(e) == str(e.messages)
    assert e.field_names == ["value"] and e.data == [{"value": "x"}]
    assert isinstance(e, Exception) and e.normalized_messages() == e.messages
    assert schema("Int")(strict=True).load({"value": 1}) == ({"value": 1}, {})


def test_handle_error_sees_every_failed_load():
    seen = []

    def handle_error(self, error, data):
        seen.append((error.messages, data))

    s = schema("Int", ns={"handle_error": handle_error})()
    s.load({"value": "x"})
    s.load({"value": 1})
    assert seen == [({"value": ["Not a valid integer."]}, {"value": "x"})]


def test_partial_only_and_exclude():
    s = schema("Int", required=True)
    assert s(partial=True).load({}) == ({}, {})
    assert s().load({}, partial=("value",)) == ({}, {})
    assert s(exclude=("value",)).load({"value": "x"}) == ({}, {})
    assert s(only=("other",)).load({"value": "x"}) == ({}, {})


def test_classes_are_shared_and_descriptive():
    s = schema("UUID", load_from="containerId", allow_none=True)
    assert issubclass(s, probe.Schema)
    field = s._declared_fields["value"]
    assert (field.kind, field.load_from, field.allow_none, field.required) == ("UUID", "containerId", True, False)
    assert s().many is False and s().strict is False and s().context == {}


# ---- DateTime and UUID text against independent readers --------------------

ISO = re.compile(
    r"(?P<year>\d{4})-(?P<month>\d{1,2})-(?P<day>\d{1,2})"
    r"[T ](?P<hour>\d{1,2}):(?P<minute>\d{1,2})"
    r"(?::(?P<second>\d{1,2})(?:\.(?P<microsecond>\d{1,6})\d{0,6})?)?"
    r"(?P<tzinfo>Z|[+-]\d{2}(?::?\d{2})?)?$"
)


def oracle_datetime(text):
    """The date-time of the text as a regular expression and the datetime type read it."""
    m = ISO.match(text) if text else None
    if not m:
        return "Not a valid datetime."
    g = m.groupdict()
    zone = g["tzinfo"]
    tz = None
    if zone == "Z":
        tz = UTC
    elif zone:
        sign = -1 if zone[0] == "-" else 1
        minutes = int(zone[3:].lstrip(":") or 0)
        try:
            tz = datetime.timezone(datetime.timedelta(hours=sign * int(zone[1:3]), minutes=sign * minutes))
        except ValueError:
            return "Not a valid datetime."
    try:
        return datetime.datetime(int(g["year"]), int(g["month"]), int(g["day"]), int(g["hour"]), int(g["minute"]),
                                 int(g["second"] or 0), int((g["microsecond"] or "0").ljust(6, "0")), tz)
    except ValueError:
        return "Not a valid datetime."


def oracle_uuid(text):
    try:
        return uuid.UUID(text)
    except (ValueError, TypeError, AttributeError):
        return "Not a valid UUID."


def mutations(seeds, alphabet, count, seed):
    """The seeds, and texts made from them by replacing, inserting and deleting characters."""
    import random

    rng = random.Random(seed)
    out = list(seeds)
    for _ in range(count):
        t = list(rng.choice(seeds))
        for _ in range(rng.randint(1, 3)):
            at = rng.randrange(len(t) + 1)
            op = rng.randrange(3)
            if op == 0 and at < len(t):
                t[at] = rng.choice(alphabet)
            elif op == 1:
                t.insert(at, rng.choice(alphabet))
            elif t and at < len(t):
                del t[at]
        out.append("".join(t))
    return out


DATE_SEEDS = ["2026-02-03T04:05:07Z", "2026-2-3 4:5", "2026-02-03T04:05:07.123456789+05:30",
              "2024-02-29T23:59:59.5-0800", "2026-02-03T04:05+01", "2026-02-03T04:05:07+23:99",
              "2026-02-03T04:05:07Z\n", "٢٠٢٦-02-03T04:05:07", "9999-12-31T23:59:59.999999-00:00"]
UUID_SEEDS = [UID, UID.upper(), UID.replace("-", ""), "{%s}" % UID, "urn:uuid:" + UID, " 0x" + "0" * 29 + "f",
              "+0_" + "0" * 29 + "f", "0X_" + "0" * 29 + "1"]


@pytest.mark.parametrize("kind, oracle, texts", [
    ("DateTime", oracle_datetime, mutations(DATE_SEEDS, "0123456789-:.+ TZz\n٣x", 3000, 1)),
    ("UUID", oracle_uuid, mutations(UUID_SEEDS, "0123456789abcdefABCDEF-{}_+x :nu\t٣é", 3000, 2)),
])
def test_text_kinds_read_as_independent_readers_do(kind, oracle, texts):
    s = schema(kind)()
    for text in texts:
        data, errors = s.load({"value": text})
        expected = oracle(text)
        if isinstance(expected, str):
            assert (data, errors) == ({}, {"value": [expected]}), repr(text)
        else:
            got = data["value"]
            assert errors == {} and got == expected, repr(text)
            if kind == "DateTime":
                assert got.tzinfo == expected.tzinfo and got.utcoffset() == expected.utcoffset(), repr(text)
                assert (got.tzinfo is UTC) == (expected.tzinfo is UTC), repr(text)
            else:
                assert got.is_safe == expected.is_safe, repr(text)
