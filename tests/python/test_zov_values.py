"""Identifiers and date-times of the local database's columns: the value text
of each is what the runtime's own uuid.UUID.hex and datetime.isoformat()
write, and what reads back is what uuid.UUID and datetime.fromisoformat()
make of it, whichever way the module takes."""
import datetime
import uuid

import pytest

from zov_fixtures import db, local  # noqa: F401  (fixtures)

from velna.providers.zov import database

UTC = datetime.timezone.utc


class MyUUID(uuid.UUID):
    @property
    def hex(self):
        return "f" * 32


@pytest.mark.parametrize("value", [
    uuid.UUID(int=0), uuid.UUID(int=2 ** 128 - 1), uuid.UUID(int=2 ** 64), uuid.UUID(int=2 ** 64 - 1),
    uuid.UUID("12345678-9abc-def0-1234-56789abcdef0"), uuid.uuid4(), uuid.UUID(int=255),
])
def test_identifiers_read_and_write_as_the_uuid_class_does(value):
    text = database._to_text("containers", "id", value)
    assert text == value.hex
    for stored in (text, text.upper(), str(value), "{%s}" % value, "urn:uuid:%s" % value):
        back = database._from_text("containers", "id", stored)
        assert type(back) is uuid.UUID and back == value and back.int == value.int
        assert back.is_safe is uuid.SafeUUID.unknown and hash(back) == hash(value)
        assert str(back) == str(value) and repr(back) == repr(value)


def test_identifier_forms_other_than_the_class_take_the_general_way():
    value = uuid.uuid4()
    assert database._to_text("containers", "id", MyUUID(int=value.int)) == "f" * 32
    assert database._to_text("containers", "id", str(value)) == value.hex
    for odd in ("0x" + "1" * 30, "1_2" + "3" * 29, "g" * 32, " " + "1" * 31, "1" * 31, "-" * 4 + "a" * 32):
        try:
            expected = uuid.UUID(odd)
        except ValueError:
            with pytest.raises(ValueError):
                database._from_text("containers", "id", odd)
        else:
            assert database._from_text("containers", "id", odd) == expected


@pytest.mark.parametrize("value", [
    datetime.datetime(2024, 5, 6, 7, 8, 9, 123456, tzinfo=UTC),
    datetime.datetime(2024, 5, 6, 7, 8, 9, tzinfo=UTC),
    datetime.datetime(1, 1, 1, tzinfo=UTC),
    datetime.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC),
    datetime.datetime(2000, 2, 29, 1, 2, 3, 4, tzinfo=UTC),
    datetime.datetime(2024, 5, 6, 7, 8, 9, 10, tzinfo=datetime.timezone(datetime.timedelta(hours=-3))),
    datetime.datetime(2024, 5, 6, 7, 8, 9, 10, tzinfo=datetime.timezone(datetime.timedelta(0), "zero")),
    datetime.datetime(2024, 5, 6, 7, 8, 9, 10),
])
def test_date_times_read_and_write_as_isoformat_does(value):
    aware = value if value.tzinfo else value.replace(tzinfo=UTC)
    text = database._to_text("containers", "created_at", value)
    assert text == aware.isoformat()
    back = database._from_text("containers", "created_at", text)
    expected = datetime.datetime.fromisoformat(text)
    assert type(back) is datetime.datetime and back == expected
    assert back.tzinfo == expected.tzinfo and back.utcoffset() == expected.utcoffset()
    assert (back.tzinfo is UTC) == (expected.tzinfo is UTC)


def test_a_query_leaves_the_cyclic_collector_as_it_found_it(db):
    import gc
    from velna.providers.zov.models import User
    db.session.add_all([User(id="u%d" % i) for i in range(3)])
    db.session.commit()
    try:
        for enabled in (True, False):
            (gc.enable if enabled else gc.disable)()
            db.session.remove()
            assert len(db.session.query(User).all()) == 3
            assert gc.isenabled() == enabled
            with pytest.raises(Exception):
                db.session.query(User).filter_by(id="x*").all()
            assert gc.isenabled() == enabled
    finally:
        gc.enable()
