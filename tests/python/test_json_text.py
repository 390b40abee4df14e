"""The JSON text codec against simplejson with its default options.

simplejson is the oracle only; the codec under test never imports it.
"""
import collections
import decimal
import enum
import math
import random
import struct
import subprocess
import sys
import textwrap

import pytest
import simplejson

import _velna_probe as probe

dumps = probe.json_dumps
loads = probe.json_loads


def outcome(fn, *args):
    """('ok', value) or ('error', exception type, message)."""
    try:
        return ("ok", fn(*args))
    except Exception as e:  # noqa: BLE001 - the kind of failure is compared
        return ("error", type(e), str(e))


def same_value(a, b):
    """Equal JSON values, with matching types, NaN equal to NaN, -0.0 distinct from 0.0."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return repr(a) == repr(b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same_value(a[k], b[k]) for k in a)
    return a == b


# --- values written the same as simplejson writes them ---------------------


class IntWithOwnText(int):
    def __repr__(self):
        return "IREPR"

    def __str__(self):
        return "ISTR"

    def __int__(self):
        return 42


class FloatWithOwnText(float):
    def __repr__(self):
        return "FREPR"

    def __float__(self):
        return 9.5


class StrWithOwnText(str):
    def __str__(self):
        return "SSTR"


class Colour(enum.IntEnum):
    RED = 1


class Ratio(float, enum.Enum):
    HALF = 0.5


class DictWithItems(dict):
    def items(self):
        return [("x", 1), ("y", [2])]


class ListWithIter(list):
    def __iter__(self):
        return iter([9, 8])


class TupleWithIter(tuple):
    def __iter__(self):
        return iter([7])


Point = collections.namedtuple("Point", "x y")


class AsDict:
    def _asdict(self):
        return {"z": 1, "a": [True]}


class AsDictOrdered:
    def _asdict(self):
        return collections.OrderedDict([("b", 1), ("a", 2)])


class AsDictTypeError:
    def _asdict(self):
        raise TypeError("not now")


class AsDictNeedsArgument:
    def _asdict(self, arg):
        return {}


class AsDictNotCallable:
    _asdict = 5


class AttributeLookupFails:
    def __getattr__(self, name):
        raise RuntimeError("no attributes here")


class ListWithAsDict(list):
    def _asdict(self):
        return {"from": "list"}


class DictWithAsDict(dict):
    def _asdict(self):
        return {"from": "dict"}


class IntWithAsDict(int):
    def _asdict(self):
        return {"from": "int"}


class StrWithAsDict(str):
    def _asdict(self):
        return {"from": "str"}


class DecimalWithOwnText(decimal.Decimal):
    def __str__(self):
        return "12.50"


class AsDictClassMethod:
    @classmethod
    def _asdict(cls):
        return {"c": 1}


TRICKY_FLOATS = [
    0.0, -0.0, 1.0, -1.0, 0.1, 0.2, 0.3, 1 / 3, 2 / 3, 1e16, 1e15, 9999999999999998.0,
    123456789012345678.0, 1e22, 1e23, 1e-5, 1e-4, 1e-7, 5e-324, 2.2250738585072014e-308,
    1.7976931348623157e308, 3.141592653589793, 100.0, 1e100, -1.5e-10, 4.35, 0.1 + 0.2,
    float("nan"), float("inf"), float("-inf"),
]

DUMPS_CASES = [
    ("none", None),
    ("true", True),
    ("false", False),
    ("zero", 0),
    ("negative", -17),
    ("int64 edges", [2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 10**18, 10**19]),
    ("big ints", [2**64, -(2**100), 10**300]),
    ("floats", TRICKY_FLOATS),
    ("empty string", ""),
    ("ascii text", "plain text / with slash"),
    ("short escapes", "a\"b\\c\nd\re\tf\bg\fh"),
    ("control characters", "".join(chr(c) for c in range(0x20))),
    ("DEL and C1", "\x7f\x80\x9f\xa0\xff"),
    ("BMP", "caf\u00e9 \u20ac \u4e2d\u6587 \uffff \ufeff"),
    ("line separators", "\u2028\u2029"),
    ("astral", "\U0001f600 \U00010000 \U0010ffff"),
    ("lone surrogates", "\ud800 \udfff \udbff\ud800 x\udc00"),
    ("surrogate pair code points", "\ud83d\ude00"),
    ("bytes as utf-8", b"caf\xc3\xa9 \xf0\x9f\x98\x80"),
    ("bytes with bom", b"\xef\xbb\xbfx"),
    ("empty containers", [[], {}, (), "", [[]], {"a": {}}, [()]]),
    ("nested", {"a": [1, {"b": [2, [3, {"c": None}]]}], "d": {"e": {"f": []}}}),
    ("key order kept", {"b": 1, "a": 2, "c": 3}),
    ("ordered dict", collections.OrderedDict([("z", 1), ("a", 2)])),
    ("key types", {"s": 1, b"b": 2, 1.5: 3, True: 4, False: 5, None: 6, 7: 8, -9: 10,
                   2**70: 11, float("nan"): 12, float("inf"): 13, float("-inf"): 14,
                   1e16: 15, decimal.Decimal("1.50"): 16}),
    ("unicode keys", {"\u00e9": 1, "\U0001f600": 2, "\ud800": 3}),
    ("int and str keys alike", {1: "a", "1": "b"}),
    ("tuple as array", (1, (2, [3]), "x")),
    ("namedtuple as object", Point(1, [2, Point(3, 4)])),
    ("namedtuple in list", [Point(1, 2)]),
    ("_asdict object", [AsDict()]),
    ("_asdict ordered dict", AsDictOrdered()),
    ("_asdict classmethod", [AsDictClassMethod, AsDictClassMethod()]),
    ("list subclass with _asdict", ListWithAsDict([1])),
    ("dict subclass with _asdict", DictWithAsDict(a=1)),
    ("int subclass with _asdict", IntWithAsDict(3)),
    ("str subclass with _asdict", StrWithAsDict("q")),
    ("decimals", [decimal.Decimal("1.10"), decimal.Decimal("-0"), decimal.Decimal("1E+5"),
                  decimal.Decimal("NaN"), decimal.Decimal("-Infinity"), decimal.Decimal("sNaN")]),
    ("decimal subclass", [DecimalWithOwnText("1"), {DecimalWithOwnText("2"): 0}]),
    ("int subclass through int()", [IntWithOwnText(5), {IntWithOwnText(5): 1}]),
    ("int enum", [Colour.RED, {Colour.RED: Colour.RED}]),
    ("float subclass through float()", [FloatWithOwnText(1.25), {FloatWithOwnText(1.25): 1}]),
    ("float enum", [Ratio.HALF, {Ratio.HALF: 1}]),
    ("str subclass", [StrWithOwnText("ab"), {StrWithOwnText("k"): StrWithOwnText("v")}]),
    ("dict subclass through items()", DictWithItems(a=1)),
    ("empty dict subclass ignores items()", DictWithItems()),
    ("list subclass through iteration", ListWithIter([1])),
    ("empty list subclass", ListWithIter()),
    ("tuple subclass through iteration", TupleWithIter([1])),
    ("shared, not circular", (lambda x: [x, x, {"a": x}])([1])),
    ("bool keys", {True: 1, False: 0}),
]


@pytest.mark.parametrize("value", [c[1] for c in DUMPS_CASES], ids=[c[0] for c in DUMPS_CASES])
def test_dumps_writes_the_text_simplejson_writes(value):
    ours = dumps(value)
    assert type(ours) is str
    assert ours == simplejson.dumps(value)


def test_dumps_output_is_ascii_only():
    text = dumps(["\u00e9\U0001f600\ud800", {"\u4e2d": b"\xc3\xa9"}])
    assert text.isascii()


def test_dumps_floats_match_repr_on_random_doubles():
    rng = random.Random(20240601)
    values = []
    while len(values) < 3000:
        (v,) = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))
        values.append(v)
    values += [rng.uniform(-1e6, 1e6) for _ in range(1000)]
    assert dumps(values) == simplejson.dumps(values)


# --- failures as simplejson reports them ------------------------------------


class ItemsReturnsNumber(dict):
    def items(self):
        return 5


class ItemsNotPairs(dict):
    def items(self):
        return [("x",)]


class ItemsLists(dict):
    def items(self):
        return [["x", 1]]


class BadInt(int):
    def __int__(self):
        return "x"


class RaisingInt(int):
    def __int__(self):
        raise ValueError("no int")


class BadFloat(float):
    def __float__(self):
        return "x"


class IterRaises(list):
    def __iter__(self):
        raise RuntimeError("iteration failed")


class AsDictRaises:
    def _asdict(self):
        raise KeyError("x")


class AsDictReturnsList:
    def _asdict(self):
        return [1]


class AsDictReturnsNone:
    def _asdict(self):
        return None


class AsDictBadKey:
    def _asdict(self):
        return {(1,): 2}


class Unserialisable:
    pass


class ClassSpoofer:
    @property
    def __class__(self):
        return int


def _cyclic_list():
    a = []
    a.append(a)
    return a


def _cyclic_dict():
    d = {}
    d["a"] = [d]
    return d


class _SelfAsDict:
    def __init__(self):
        self.d = {"x": self}

    def _asdict(self):
        return self.d


DUMPS_ERROR_CASES = [
    ("object", object()),
    ("set", {1}),
    ("bytearray", bytearray(b"x")),
    ("memoryview", memoryview(b"x")),
    ("complex", 1j),
    ("type", int),
    ("namedtuple class", Point),
    ("user class", Unserialisable()),
    ("nested unserialisable", {"a": [1, Unserialisable()]}),
    ("__class__ name used", ClassSpoofer()),
    ("_asdict raising TypeError falls through", AsDictTypeError()),
    ("_asdict needing an argument falls through", AsDictNeedsArgument()),
    ("_asdict not callable", AsDictNotCallable()),
    ("attribute lookup raising", AttributeLookupFails()),
    ("_asdict raising other error", AsDictRaises()),
    ("_asdict returning list", AsDictReturnsList()),
    ("_asdict returning None", AsDictReturnsNone()),
    ("_asdict bad key", AsDictBadKey()),
    ("tuple key", {(1, 2): 1}),
    ("object key", {object(): 1}),
    ("datetime key", {__import__("datetime").datetime(2020, 1, 1): 1}),
    ("spoofed key uses type name", {ClassSpoofer(): 1}),
    ("frozenset key nested", [{"a": 1, frozenset(): 2}]),
    ("bytes not utf-8", b"\xff"),
    ("bytes key not utf-8", {b"\xfe": 1}),
    ("items() not iterable", ItemsReturnsNumber(a=1)),
    ("items() not pairs", ItemsNotPairs(a=1)),
    ("items() lists", ItemsLists(a=1)),
    ("__int__ not an int", BadInt(1)),
    ("__int__ raising", [RaisingInt(1)]),
    ("__int__ raising in key", {RaisingInt(1): 1}),
    ("__float__ not a float", BadFloat(1)),
    ("iteration raising", IterRaises([1])),
    ("circular list", _cyclic_list()),
    ("circular dict", _cyclic_dict()),
    ("circular through _asdict", _SelfAsDict()),
    ("int beyond the digit limit", 10**5000),
]


@pytest.mark.parametrize("value", [c[1] for c in DUMPS_ERROR_CASES],
                         ids=[c[0] for c in DUMPS_ERROR_CASES])
def test_dumps_fails_as_simplejson_fails(value):
    theirs = outcome(simplejson.dumps, value)
    assert theirs[0] == "error"
    assert outcome(dumps, value) == theirs


def test_dumps_circular_reference_message():
    with pytest.raises(ValueError, match="^Circular reference detected$"):
        dumps(_cyclic_list())


def test_dumps_unserialisable_message():
    with pytest.raises(TypeError, match="^Object of type Unserialisable is not JSON serializable$"):
        dumps({"a": Unserialisable()})


def _nested_lists(depth):
    root = cur = []
    for _ in range(depth):
        nxt = []
        cur.append(nxt)
        cur = nxt
    return root


def _nested_dicts(depth):
    root = cur = {}
    for _ in range(depth):
        nxt = {}
        cur["k"] = nxt
        cur = nxt
    return root


@pytest.mark.parametrize("build", [_nested_lists, _nested_dicts], ids=["lists", "dicts"])
def test_dumps_deep_nesting_is_a_recursion_error(build):
    with pytest.raises(RecursionError):
        dumps(build(100000))


def test_dumps_moderate_nesting_matches():
    value = _nested_lists(200)
    assert dumps(value) == simplejson.dumps(value)


# --- reading -----------------------------------------------------------------

LOADS_CASES = [
    "0", "-0", "-0.0", "1", "-1", "123456789012345678", "1234567890123456789",
    "-9223372036854775808", "9223372036854775808", "123456789012345678901234567890",
    "-" + "9" * 4300, "1.5", "1E5", "1e-5", "1.5E+3", "2.5e-3", "1e400", "-1e400", "1e-400",
    "1.0000000000000000000000001", "0.1", "5e-324", "1" * 400 + ".5",
    "NaN", "Infinity", "-Infinity", "[NaN, -Infinity, Infinity]",
    "true", "false", "null", '""', '"abc"', '"\\/"', '"\\"\\\\\\b\\f\\n\\r\\t"',
    '"\\u00e9\\u20AC"', '"\\ud83d\\ude00"', '"\\uD83D\\uDE00"', '"\\udbff\\udfff"',
    '"\\ud83d"', '"\\ude00\\ud83d"', '"\\ud83dx"', '"\\ud83d\\u0041"', '"\\ud83d\\ud83d\\ude00"',
    '"\\ud800\\udbff"', '"\\u12345"', '"\u00e9\u2028\U0001f600"', '"\ud800"', '"\x7f"',
    '"mixed \u00e9 and \\n escapes \U0001f600"',
    "[]", "{}", "[[],[[]]]", '{"a":{}}', '{"":""}', "[1,2,3]", "[ 1 , 2 ]",
    '{"a" : 1 , "b" : 2 }', '{"a":1,"a":2,"b":3}', '{"b":1,"a":2,"b":3}',
    " \t\n\r[ \t\n\r1 \t\n\r] \t\n\r", "\ufeff1", "\ufeff[1]",
    '{"version": 1, "customData": {"a": [1, 2.5, "x", null, true]}}',
    '[{"a": 1}, {"a": 2}, {"b": [{"a": 3}]}]',
]


@pytest.mark.parametrize("text", LOADS_CASES)
def test_loads_reads_what_simplejson_reads(text):
    ours = loads(text)
    theirs = simplejson.loads(text)
    assert same_value(ours, theirs), (ours, theirs)


@pytest.mark.parametrize("text", LOADS_CASES)
def test_loads_reads_utf8_bytes_alike(text):
    if "\ud800" in text:
        pytest.skip("a lone surrogate has no UTF-8 form")
    data = text.encode("utf-8")
    assert same_value(loads(data), simplejson.loads(data))


def test_loads_duplicate_key_keeps_last_value_at_first_position():
    assert list(loads('{"b":1,"a":2,"b":3}').items()) == [("b", 3), ("a", 2)]


def test_loads_big_integer_is_exact():
    digits = "98765432109876543210" * 50
    assert loads(digits) == int(digits)
    assert loads("-" + digits) == -int(digits)


def test_loads_result_types_are_plain():
    value = loads('{"a": [1, "s", 1.5]}')
    assert type(value) is dict and type(value["a"]) is list
    assert [type(x) for x in value["a"]] == [int, str, float]


class StrSubclass(str):
    pass


class BytesSubclass(bytes):
    pass


def test_loads_accepts_str_and_bytes_subclasses():
    assert loads(StrSubclass('[1, "x"]')) == [1, "x"]
    assert loads(BytesSubclass(b'{"a": 1}')) == {"a": 1}
    assert type(loads(StrSubclass('"x"'))) is str


LOADS_ERROR_CASES = [
    "", " ", "-", " -", "-a", "- 1", "-inf", "-NaN", ".5", "+1", "nan", "inf", "tru", "True",
    "nul", "x", "\u00e9", "01", "00", "-01", "1.", "2.", "1.e5", "1e", "1e+", "1.5.3", "0x10",
    "1_000", "nulll", "truex", "-Infinityx", "1 2", "1 2 3", "[1]x", "[1]]", '{"a":1}}',
    "[", "[ ", "[1", "[1 ", "[1,", "[1, ", "[1,]", "[,1]", "[1 2]", "]", "[}", "[ }", "[-]",
    "[-", "[tru]", "[nul", "[Infinit]", "[-Infinit]", "[NaN1]", "[1.5e", "[1.5e]", "[1.]",
    "[01]", "[1,2", "[1,2,", '["a"',
    "{", "{ ", "{]", "{ ]", '{"a"', '{"a" 1}', '{"a":', '{"a":}', '{"a":1', '{"a":1 ',
    '{"a":1,', '{"a":1, ', '{"a":1,}', '{"a":1, }', "{a:1}", "{'a':1}", '{"a":1 "b":2}',
    '{"a":1,"b"}', '{"a":1,"b":}', "{1:2}", '{"a":1,2:3}', '{"a":[1,',
    '"abc', '"a\\', '"a\\"', '"\\', '"\\u', '"\\u1', '"\\u12"', '"\\u12g4"', '"\\uZZZZ"',
    '"a\\x"', '"a\\q"', '"\\U0041"', '"\\a"', '"\\\x01"', '"\\\u00e9"', '"\\\U0001f600"',
    '"\U0001f600\\q"', '"\\ud83d\\u"', '"\\ud83d\\udz00"', '"\\ud83d\\x"', '"\\ud83d\\',
    '"\\ud83d\\"', '"\\ud83d\\ude0"', '"\\ud83d\\uzzzz"', '{"a\\x":1}', '{"a', '{"a\x01":1}',
    '"\x01"', '"\x1f"', '"\t"', '"\n"', '"x\U0001f600\x02"', '"\u00e9', "\x0b1", "\x0c1",
    "\u00a01", "\ufeff\ufeff1", " \ufeff1", "\ufeff",
    "1\n\n  x", "\n\n  x", "[1,\n  2,\n x]", "[\n\n\"\u00e9\x01\"]", "\r\n\rx", "[1,\r\n2,\r\nx]",
]


def _error_fields(e):
    return (str(e), e.doc, e.pos, e.end, e.lineno, e.colno,
            getattr(e, "endlineno", None), getattr(e, "endcolno", None))


@pytest.mark.parametrize("text", LOADS_ERROR_CASES)
def test_loads_reports_errors_as_simplejson_does(text):
    with pytest.raises(simplejson.JSONDecodeError) as theirs:
        simplejson.loads(text)
    with pytest.raises(probe.JSONDecodeError) as ours:
        loads(text)
    assert isinstance(ours.value, ValueError)
    assert _error_fields(ours.value) == _error_fields(theirs.value)
    # msg is the message without its position (simplejson leaves a raw "%r"
    # in it for a bad escape; ours carries the text that is shown).
    assert ours.value.msg == str(ours.value).split(": line ")[0]


def test_decode_error_is_a_value_error_with_the_documented_message():
    assert issubclass(probe.JSONDecodeError, ValueError)
    with pytest.raises(ValueError, match=r"^Expecting value: line 1 column 1 \(char 0\)$"):
        loads("")


@pytest.mark.parametrize("data", [
    b"\xef\xbb\xbf1", b"\xef\xbb\xbf", b"\xef\xbb\xbf\xef\xbb\xbf1", b" \xef\xbb\xbf1",
    b'"\xc3\xa9"', b'"\xff"', b"\xff", b'"\xed\xa0\x80"', b"\xff\xfe1\x00", b"\x001",
    b'{"a": "\xf0\x9f\x98\x80"}',
])
def test_loads_bytes_as_utf8_with_bom(data):
    assert outcome_kind(loads, data) == outcome_kind(simplejson.loads, data)


def outcome_kind(fn, arg):
    r = outcome(fn, arg)
    if r[0] == "ok":
        return ("ok", repr(r[1]))
    kind = "decode" if issubclass(r[1], (probe.JSONDecodeError, simplejson.JSONDecodeError)) else r[1]
    return ("error", kind, r[2])


@pytest.mark.parametrize("value", [None, 1, 1.5, bytearray(b"1"), memoryview(b"1"), ["1"], object()])
def test_loads_refuses_other_types(value):
    with pytest.raises(TypeError) as ours:
        loads(value)
    with pytest.raises(TypeError) as theirs:
        simplejson.loads(value)
    assert str(ours.value) == str(theirs.value)


def test_loads_integer_digit_limit_is_the_runtime_limit():
    text = "1" * 5000
    assert outcome(loads, text) == outcome(simplejson.loads, text)


@pytest.mark.parametrize("text", [
    "[" * 100000 + "]" * 100000,
    '{"a":' * 100000 + "1" + "}" * 100000,
    "[" * 100000,
], ids=["arrays", "objects", "unclosed arrays"])
def test_loads_deep_nesting_is_a_recursion_error(text):
    with pytest.raises(RecursionError) as ours:
        loads(text)
    with pytest.raises(RecursionError) as theirs:
        simplejson.loads(text)
    assert str(ours.value) == str(theirs.value)


def test_loads_deep_mixed_nesting_is_a_recursion_error():
    with pytest.raises(RecursionError):
        loads('[{"a":' * 50000)


def test_deep_nesting_with_a_raised_recursion_limit_fails_cleanly():
    # With the interpreter's limit out of the way only the codec's own bound
    # protects the C stack; a crash shows as a signal in the return code.
    script = textwrap.dedent("""
        import sys
        import _velna_probe as probe
        sys.setrecursionlimit(10**7)
        for text in ("[" * 2000000, '{"a":' * 1000000):
            try:
                probe.json_loads(text)
            except RecursionError:
                pass
            else:
                raise SystemExit("no error for deep text")
        root = cur = []
        for _ in range(2000000):
            nxt = []
            cur.append(nxt)
            cur = nxt
        try:
            probe.json_dumps(root)
        except RecursionError:
            pass
        else:
            raise SystemExit("no error for deep value")
        # Keep the deep value from being freed by the recursive deallocator.
        import os
        os._exit(0)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


def test_moderate_nesting_reads_back():
    text = "[" * 300 + "]" * 300
    assert same_value(loads(text), simplejson.loads(text))


# --- both directions on generated values ------------------------------------


def _random_text(rng):
    alphabet = ["a", "Z", " ", '"', "\\", "/", "\n", "\x00", "\x1f", "\x7f", "\u00e9", "\u2028",
                "\ufeff", "\uffff", "\U0001f600", "\U0010ffff", "\ud800", "\udc00"]
    return "".join(rng.choice(alphabet) for _ in range(rng.randrange(8)))


def _random_value(rng, depth=0):
    kind = rng.randrange(10 if depth < 4 else 7)
    if kind == 0:
        return rng.choice([None, True, False])
    if kind == 1:
        return rng.choice([0, 1, -1, rng.getrandbits(rng.choice([8, 40, 63, 64, 100])) * rng.choice([1, -1])])
    if kind == 2:
        return rng.choice([rng.uniform(-1e3, 1e3), rng.random() * 10 ** rng.randrange(-30, 30), -0.0,
                           float("nan"), float("inf")])
    if kind in (3, 4, 5, 6):
        return _random_text(rng)
    if kind == 7:
        return [_random_value(rng, depth + 1) for _ in range(rng.randrange(5))]
    if kind == 8:
        return tuple(_random_value(rng, depth + 1) for _ in range(rng.randrange(4)))
    keys = [_random_text(rng), rng.randrange(100), rng.random(), True, None]
    return {rng.choice(keys): _random_value(rng, depth + 1) for _ in range(rng.randrange(5))}


def test_generated_values_write_and_read_like_simplejson():
    rng = random.Random(7)
    for _ in range(2000):
        value = _random_value(rng)
        text = simplejson.dumps(value)
        assert dumps(value) == text, value
        assert same_value(loads(text), simplejson.loads(text)), text


def test_reading_pretty_printed_text():
    value = {"a": [1, {"b": None}], "c": "\u00e9"}
    for text in (simplejson.dumps(value, indent=2), simplejson.dumps(value, indent="\t"),
                 simplejson.dumps(value, ensure_ascii=False), simplejson.dumps(value, separators=(",", ":"))):
        assert loads(text) == value


def test_nan_round_trip():
    assert math.isnan(loads(dumps(float("nan"))))
