"""velna.event: the Event record, checked against a record that attrs (the
test-only oracle) generates with the same attributes."""
import copy
import datetime
import operator
import pickle
import uuid

import attr
import pytest

from velna.event import Event

FIELDS = ["action", "id", "changes", "client_app_name", "container_expired_at", "container_id",
          "container_modified_at", "container_type", "date", "related_user_id", "type"]

Oracle = attr.make_class("Event", FIELDS)

WHEN = datetime.datetime(2026, 1, 2, 3, 4, 5, tzinfo=datetime.timezone.utc)
CID = uuid.UUID("12345678-1234-5678-1234-567812345678")
VALUES = dict(action="added", id=5, changes={"name": "x"}, client_app_name=None,
              container_expired_at=None, container_id=CID, container_modified_at=WHEN,
              container_type="note", date=WHEN, related_user_id=None, type="container")


def both(**changes):
    values = dict(VALUES, **changes)
    return Event(**values), Oracle(**values)


def test_construction_by_keyword_and_position_keeps_attribute_order():
    by_name = Event(**VALUES)
    by_position = Event(*[VALUES[f] for f in FIELDS])
    assert list(vars(by_name)) == FIELDS
    assert vars(by_position) == vars(by_name) == VALUES
    by_name.action = "deleted"          # attributes stay writable
    assert by_name.action == "deleted"
    for clone in (pickle.loads(pickle.dumps(by_name)), copy.deepcopy(by_name)):
        assert type(clone) is Event and clone == by_name


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    ((), {f: None for f in FIELDS[:-1]}),
    (tuple(range(12)), {}),
    ((), dict(VALUES, user_id=1)),
])
def test_missing_or_extra_values_are_type_errors(args, kwargs):
    with pytest.raises(TypeError):
        Event(*args, **kwargs)


def test_text_form_is_that_of_the_attrs_record():
    ours, theirs = both()
    assert repr(ours) == repr(theirs)
    assert repr(ours).startswith("Event(action='added', id=5, changes={'name': 'x'}, ")
    ours, theirs = both(action="it's", changes=None)
    assert repr(ours) == repr(theirs)


def test_equality_and_ordering_follow_the_attribute_tuples():
    cases = [dict(), dict(id=6), dict(id=4), dict(action="accessed"), dict(type="keysFile")]
    for a in cases:
        for b in cases:
            x, ox = both(**a)
            y, oy = both(**b)
            for op in (operator.eq, operator.ne, operator.lt, operator.le, operator.gt, operator.ge):
                assert op(x, y) == op(ox, oy), (a, b, op)


def test_no_equality_with_other_classes_and_no_hash():
    event = Event(**VALUES)
    assert event != VALUES and not event == VALUES
    assert event != Oracle(**VALUES)

    class Derived(Event):
        pass

    assert Derived(**VALUES) != event
    assert repr(Derived(**VALUES)).startswith("Derived(action=")
    with pytest.raises(TypeError):
        event < Oracle(**VALUES)
    with pytest.raises(TypeError):
        event <= 1
    with pytest.raises(TypeError):
        hash(event)
    assert Event.__hash__ is None


# ---- EventSchema ----------------------------------------------------------

from velna.event import EventSchema  # noqa: E402

UID = "6f1e0b62-3b0a-4c55-9a57-0f1d8cf1f3aa"
WIRE = {"eventId": 7, "action": "updated", "changes": {"name": "b", "size": 3}, "clientAppName": "app",
        "containerExpiredAt": "2026-02-03T04:05:06Z", "containerId": UID,
        "containerModifiedAt": "2026-02-03T04:05:06.5+01:00", "containerType": "note",
        "date": "2026-02-03T04:05:07Z", "relatedUserId": UID, "type": "container"}
UTC = datetime.timezone.utc


def test_a_full_event_object_loads_into_one_record():
    result = EventSchema(many=True).load([dict(WIRE, userId="ignored")])
    assert result.errors == {}
    [event] = result.data
    assert type(event) is Event
    assert event == Event(
        action="updated", id=7, changes={"name": "b", "size": 3}, client_app_name="app",
        container_expired_at=datetime.datetime(2026, 2, 3, 4, 5, 6, tzinfo=UTC),
        container_id=uuid.UUID(UID),
        container_modified_at=datetime.datetime(
            2026, 2, 3, 4, 5, 6, 500000, tzinfo=datetime.timezone(datetime.timedelta(hours=1))),
        container_type="note", date=datetime.datetime(2026, 2, 3, 4, 5, 7, tzinfo=UTC),
        related_user_id=uuid.UUID(UID), type="container")
    assert result.data == list(result)[0] and result.errors is list(result)[1]


# (wire key, value, attribute, loaded value) or (wire key, value, error key, [message])
CONVERSIONS = [
    ("clientAppName", None, "client_app_name", None),
    ("changes", None, "changes", None),
    ("containerId", None, "container_id", None),
    ("containerExpiredAt", None, "container_expired_at", None),
    ("eventId", "12", "id", 12),
    ("eventId", 12.9, "id", 12),
    ("containerId", UID.replace("-", "").upper(), "container_id", uuid.UUID(UID)),
    ("containerId", "{%s}" % UID, "container_id", uuid.UUID(UID)),
]
ERRORS = [
    ("date", None, "date", ["Field may not be null."]),
    ("action", None, "action", ["Field may not be null."]),
    ("eventId", None, "eventId", ["Field may not be null."]),
    ("eventId", "x", "eventId", ["Not a valid integer."]),
    ("containerId", "not-a-uuid", "containerId", ["Not a valid UUID."]),
    ("containerId", 5, "containerId", ["Not a valid UUID."]),
    ("date", "", "date", ["Not a valid datetime."]),
    ("date", "yesterday", "date", ["Not a valid datetime."]),
    ("changes", [1], "changes", ["Not a valid mapping type."]),
    ("action", 3, "action", ["Not a valid string."]),
    ("type", [], "type", ["Not a valid string."]),
]


@pytest.mark.parametrize("key, value, attribute, loaded", CONVERSIONS)
def test_conversions(key, value, attribute, loaded):
    result = EventSchema(many=True).load([dict(WIRE, **{key: value})])
    assert result.errors == {}
    assert getattr(result.data[0], attribute) == loaded


@pytest.mark.parametrize("key, value, error_key, messages", ERRORS)
def test_field_errors_are_reported_per_item_and_build_no_record(key, value, error_key, messages):
    result = EventSchema(many=True).load([WIRE, dict(WIRE, **{key: value}), WIRE])
    assert result.errors == {1: {error_key: messages}}
    assert [type(d) for d in result.data] == [dict, dict, dict]
    assert error_key not in result.data[1] and "action" in result.data[0]
    single = EventSchema().load(dict(WIRE, **{key: value}))
    assert single.errors == {error_key: messages} and type(single.data) is dict


def test_attribute_names_win_over_wire_keys_and_errors_name_the_key_read():
    result = EventSchema().load(dict(WIRE, id=3))
    assert result.data.id == 3
    result = EventSchema().load(dict(WIRE, container_id="nope"))
    assert result.errors == {"container_id": ["Not a valid UUID."]}


def test_a_missing_key_without_field_errors_raises_a_type_error():
    incomplete = {k: v for k, v in WIRE.items() if k != "containerType"}
    with pytest.raises(TypeError):
        EventSchema(many=True).load([WIRE, incomplete])
    # with a field error elsewhere no record is built, so nothing is raised
    result = EventSchema(many=True).load([incomplete, dict(WIRE, date=None)])
    assert result.errors == {1: {"date": ["Field may not be null."]}}


def test_empty_lists_and_items_that_are_not_objects():
    assert EventSchema(many=True).load([]) == ([], {})
    result = EventSchema(many=True).load([WIRE, "text"])
    assert list(result.errors) == [1]


# Values of every shape the event log may carry, each loaded both through
# EventSchema and through the general schema load it specialises; the two
# must agree to the last detail.
class Text(str):
    pass


VARIANTS = [
    ("date", "2026-02-03T04:05:07"), ("date", "2026-02-03T04:05:07.1Z"),
    ("date", "2026-02-03T04:05:07.1234567Z"), ("date", "2026-02-03T04:05:07.123456-02:30"),
    ("date", "2026-02-03T04:05:07+00:00"), ("date", "2026-02-03T04:05:07+0100"),
    ("date", "2026-02-03 04:05:07Z"), ("date", "2026-02-03T04:05Z"), ("date", "2026-13-03T04:05:07Z"),
    ("date", "2026-02-03T04:05:07.Z"), ("date", "2026-02-03T04:05:07Zx"), ("date", "٢٠٢٦-02-03T04:05:07"),
    ("containerModifiedAt", "2026-02-30T00:00:00Z"), ("containerExpiredAt", "2026-02-03T24:00:00Z"),
    ("containerId", UID.upper()), ("containerId", UID.replace("-", "")), ("containerId", "urn:uuid:" + UID),
    ("containerId", UID[:-1] + "g"), ("relatedUserId", "00000000-0000-0000-0000-000000000000"),
    ("relatedUserId", "ffffffff-ffff-ffff-ffff-ffffffffffff"), ("relatedUserId", uuid.UUID(UID)),
    ("eventId", True), ("eventId", 2 ** 70), ("eventId", -3), ("action", Text("added")), ("action", b"added"),
    ("changes", {}), ("changes", {"nested": {"a": [1, 2]}}), ("type", ""), ("clientAppName", "é"),
    ("id", 9), ("date", None), ("containerType", 5),
]


@pytest.mark.parametrize("key, value", VARIANTS)
def test_event_schema_agrees_with_the_general_load(key, value):
    from velna.event import Schema

    items = [WIRE, dict(WIRE, **{key: value})]
    ours = EventSchema(many=True).load(items)
    general = Schema.load(EventSchema(many=True), items)
    assert repr(ours.data) == repr(general.data) and ours.errors == general.errors
    for a, b in zip(ours.data, general.data):
        values = vars(a) if isinstance(a, Event) else a
        for name, v in values.items():
            other = vars(b)[name] if isinstance(b, Event) else b[name]
            assert type(v) is type(other) and v == other
            if isinstance(v, datetime.datetime):
                assert v.tzinfo == other.tzinfo and v.utcoffset() == other.utcoffset()
            if isinstance(v, uuid.UUID):
                assert v.is_safe == other.is_safe and v.int == other.int


def test_event_schema_takes_its_own_way_for_the_common_shape():
    # Records of one load share the UUID of one identifier text, which the
    # general load does not do: the common shape does not fall back to it.
    from velna.event import Schema

    items = [WIRE, dict(WIRE, eventId=8)]
    ours = EventSchema(many=True).load(items).data
    general = Schema.load(EventSchema(many=True), items).data
    assert ours == general
    assert ours[0].container_id is ours[1].related_user_id
    assert general[0].container_id is not general[1].container_id
