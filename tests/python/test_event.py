"""velna.event: the Event record, checked against a record that attrs (the
test-only oracle) generates with the same attributes."""
import datetime
import operator
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
