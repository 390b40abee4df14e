"""Permissions: the eight flags, their integer form, text form and equality."""
import types

import pytest

from velna.permissions import DEFAULT_RECIP_PERMISSIONS, Permissions

# (flag path, bit) in text order.
FLAGS = [
    ("container.download", 0),
    ("container.decrypt", 1),
    ("container.upload", 2),
    ("container.access_events", 7),
    ("container.type.view", 6),
    ("container.type.modify", 5),
    ("access.view", 3),
    ("access.modify", 4),
]
ALL = "|".join(name for name, _ in FLAGS)


def flag(p, path):
    obj = p
    for part in path.split("."):
        obj = getattr(obj, part)
    return obj


@pytest.mark.parametrize("value", [0, 1, 42, 139, 200, 255])
def test_every_flag_is_its_bit_and_the_integer_form_packs_them_back(value):
    p = Permissions(value)
    for name, bit in FLAGS:
        assert flag(p, name) is bool(value >> bit & 1), name
    assert int(p) == value and p == value and value == p


def test_class_constants_and_plain_records():
    for name, bit in FLAGS:
        constant = "_" + name.replace(".", "_") + "_bit"
        assert getattr(Permissions, constant) == bit
    p = Permissions()
    assert isinstance(p.container, types.SimpleNamespace)
    assert isinstance(p.container.type, types.SimpleNamespace)
    assert isinstance(p.access, types.SimpleNamespace)
    assert Permissions._test_bit(4, 2) is True and Permissions._test_bit(4, 1) is False


@pytest.mark.parametrize(
    "build, text",
    [
        (lambda: Permissions(), "<Permission(%s) int=255>" % ALL),
        (lambda: Permissions(value=255), "<Permission(%s) int=255>" % ALL),
        (lambda: Permissions(0), "<Permission() int=0>"),
        (lambda: Permissions(42),
         "<Permission(container.decrypt|container.type.modify|access.view) int=42>"),
        (lambda: DEFAULT_RECIP_PERMISSIONS,
         "<Permission(container.download|container.decrypt|container.access_events|access.view)"
         " int=139>"),
    ],
)
def test_text_forms(build, text):
    assert str(build()) == text and repr(build()) == text


def test_flags_are_live_state():
    p = Permissions()
    p.container.download = False
    p.container.decrypt = False
    assert int(p) == 252
    assert str(p) == ("<Permission(container.upload|container.access_events|container.type.view|"
                      "container.type.modify|access.view|access.modify) int=252>")
    q = Permissions(0)
    q.access.view = True
    assert str(q) == "<Permission(access.view) int=8>"


def test_flags_are_shifted_as_held():
    p = Permissions(0)
    # 2 held in container.download lands on container.decrypt's bit.
    p.container.download = 2
    assert int(p) == 2
    assert str(p) == "<Permission(container.download) int=2>"
    p.container.download = "yes"
    with pytest.raises(TypeError):
        int(p)
    with pytest.raises(TypeError):
        str(p)


@pytest.mark.parametrize("value, equals", [(256, 0), (511, 255), (-1, 255), (True, 1), (False, 0)])
def test_only_the_low_byte_counts(value, equals):
    assert Permissions(value) == equals
    assert int(Permissions(value)) == equals


def test_out_of_range_minus_one_is_not_minus_one():
    assert Permissions(-1) != -1


@pytest.mark.parametrize("other, equal", [
    (139, True), (139.9, True), ("139", True), (True, False), (Permissions(139), True),
    (DEFAULT_RECIP_PERMISSIONS, True), (138, False),
])
def test_equality_goes_through_int(other, equal):
    p = Permissions(139)
    assert (p == other) is equal
    assert (p != other) is (not equal)


def test_default_is_unequal_to_254():
    assert Permissions() != 254
    assert not Permissions() == 254


@pytest.mark.parametrize("other, error", [(None, TypeError), ([1], TypeError), ("x", ValueError)])
def test_comparison_without_an_integer_form_fails(other, error):
    with pytest.raises(error):
        Permissions() == other
    with pytest.raises(error):
        Permissions() != other


@pytest.mark.parametrize("value", ["255", 1.0, None, b"\x01"])
def test_non_integer_values_fail_with_type_error(value):
    with pytest.raises(TypeError):
        Permissions(value)


def test_default_recipient_permissions():
    d = DEFAULT_RECIP_PERMISSIONS
    on = {name for name, _ in FLAGS if flag(d, name)}
    assert on == {"container.download", "container.decrypt", "container.access_events",
                  "access.view"}
    assert d == 139 and 139 == d


def test_unhashable_like_any_class_with_equality():
    with pytest.raises(TypeError):
        hash(Permissions())


def test_the_constructor_tests_each_bit_through_test_bit(monkeypatch):
    asked = []

    def recording(value, offset):
        asked.append(offset)
        return "bit %d" % offset

    monkeypatch.setattr(Permissions, "_test_bit", staticmethod(recording))
    p = Permissions(7)
    assert asked == [0, 1, 2, 7, 6, 5, 3, 4]  # the records' order
    assert (p.container.download, p.container.type.modify, p.access.modify) == ("bit 0", "bit 5", "bit 4")


def test_inequality_negates_the_subclass_equality():
    class Lenient(Permissions):
        def __eq__(self, other):
            return True

    assert not Lenient(0) != 255
