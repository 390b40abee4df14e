"""Column types, the database key and the five tables of the local database,
cross-checked against a reference model set written with SQLAlchemy and
SQLAlchemy-Utils (Debian's packages, used here as oracles only)."""
import base64
import datetime
import sqlite3
import types
import uuid
import warnings

import pytest

from zov_fixtures import database_key_of, db, local, make_user, public_only_user  # noqa: F401  (fixtures)

from velna.providers.zov import database, models
from velna.providers.zov.database import IntegrityError, VelnaDatabase

UTC = datetime.timezone.utc

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore::UserWarning")


# --- the reference model set ------------------------------------------------

@pytest.fixture(scope="module")
def ref():
    pytest.importorskip("sqlalchemy_utils")
    import zov_reference
    return zov_reference.build()


def sample(ns, cid, uid, other):
    """The same rows, built with either model set |ns|."""
    when = datetime.datetime(2024, 5, 6, 7, 8, 9, 123456, tzinfo=UTC)
    offset = datetime.datetime(2023, 1, 2, 3, 4, 5, tzinfo=datetime.timezone(datetime.timedelta(hours=5, minutes=30)))
    return [
        ns.User(id="user text h\u00e9"),
        ns.Key(user_id=uid, active=False, key_type="signingKeys", pub_key=b"-----BEGIN PUBLIC KEY-----\n", index=3),
        ns.Container(id=cid, type="file", length=123456789, created_at=when, created_by=uid, modified_at=offset,
                     modified_by=other, zov_location="a/b", synced_at=when, portion="all"),
        ns.ContainerAccess(user_id=uid, container_id=cid, created_at=when, permissions=139, expires_at=None,
                           key_blob=b"\x00\x01blob"),
        ns.ContainerAccess(user_id=other, container_id=cid, permissions=255, expires_at=offset, key_blob=b""),
        ns.Event(id=2 ** 40, action="create", changes=None, client_app_name="app", container_expired_at=when,
                 container_id=cid, container_modified_at=offset, container_type="file", date=when,
                 related_user_id=None, type="container"),
    ]


def raw_rows(path):
    out = {}
    with sqlite3.connect(str(path)) as con:
        for table in ("users", "keys", "containers", "container_accesses", "events"):
            out[table] = sorted(con.execute("select * from %s" % table).fetchall(), key=repr)
    return out


def values(obj, names):
    return tuple(getattr(obj, n) for n in names)


COLUMNS = {
    "users": ["id"],
    "keys": ["user_id", "active", "key_type", "pub_key", "index"],
    "containers": ["id", "type", "length", "created_at", "created_by", "modified_at", "modified_by", "zov_location",
                   "synced_at", "portion"],
    "container_accesses": ["user_id", "container_id", "created_at", "created_by", "modified_at", "modified_by",
                           "permissions", "expires_at", "key_blob"],
    "events": ["id", "action", "changes", "client_app_name", "container_expired_at", "container_id",
               "container_modified_at", "container_type", "date", "related_user_id", "type"],
}


def test_databases_are_interchangeable_with_the_reference(ref, local, db, tmp_path):
    key = database_key_of(local.session.user)
    cid, uid, other = uuid.uuid4(), local.session.user.id, uuid.uuid4()
    db.session.add_all(sample(models, cid, uid, other))
    db.session.commit()

    theirs = tmp_path / "reference.db"
    rs = ref.open_session(theirs, key)
    rs.add_all(sample(ref, cid, uid, other))
    rs.commit()
    # Byte-identical stored columns for the same values.
    assert raw_rows(db.path) == raw_rows(theirs)

    # What we wrote reads back there, and what they wrote reads back here.
    mine = ref.open_session(db.path, key)
    db.session.close()
    ours_there = {c.user_id: values(c, COLUMNS["container_accesses"])
                  for c in mine.query(ref.Container).one().access.values()}
    ours_here = {c.user_id: values(c, COLUMNS["container_accesses"])
                 for c in db.session.query(models.Container).one().access.values()}
    assert ours_there == ours_here and set(ours_here) == {uid, other}
    there_here = database.sessionmaker(database.create_engine("sqlite:///%s" % theirs, user_id=uid))()
    for name, cls in [("users", "User"), ("keys", "Key"), ("containers", "Container"),
                      ("container_accesses", "ContainerAccess"), ("events", "Event")]:
        there = sorted((values(o, COLUMNS[name]) for o in rs.query(getattr(ref, cls)).all()), key=repr)
        here = sorted((values(o, COLUMNS[name]) for o in there_here.query(getattr(models, cls)).all()), key=repr)
        ours = sorted((values(o, COLUMNS[name]) for o in db.session.query(getattr(models, cls)).all()), key=repr)
        assert here == there == ours, name


def test_known_ciphertexts_under_a_known_key(ref, local, db):
    key = database_key_of(local.session.user)
    assert models.get_sa_key() == key
    sa, utils = ref.sa, ref.utils
    cases = [(models.GUID, sa.String, uuid.UUID(int=0), "0" * 32),
             (database.Integer, sa.Integer, 42, 42), (database.Boolean, sa.Boolean, True, True),
             (database.String, sa.String, "text", "text"),
             (models.DateTime, sa.String, datetime.datetime(2024, 1, 2, 3, 4, 5), "2024-01-02T03:04:05+00:00")]
    for ours, theirs, value, their_value in cases:
        expected = utils.EncryptedType(theirs, key=key).process_bind_param(their_value, None)
        assert models.Encrypted(ours).process_bind_param(value, None) == expected
        back = value.replace(tzinfo=UTC) if isinstance(value, datetime.datetime) else value
        assert models.Encrypted(ours).process_result_value(expected, None) == back


@pytest.mark.parametrize("kind,value,text,back", [
    ("GUID", uuid.UUID("12345678-9abc-def0-1234-56789abcdef0"), "123456789abcdef0123456789abcdef0", None),
    ("GUID", "12345678-9ABC-DEF0-1234-56789ABCDEF0", "123456789abcdef0123456789abcdef0",
     uuid.UUID("12345678-9abc-def0-1234-56789abcdef0")),
    ("GUID", "123456789abcdef0123456789abcdef0", "123456789abcdef0123456789abcdef0",
     uuid.UUID("12345678-9abc-def0-1234-56789abcdef0")),
    ("GUID", uuid.UUID(int=0), "0" * 32, None),
    ("Binary", b"", "", None),
    ("Binary", b"\x00\xff", "00ff", None),
    ("Binary", "h\u00e9", "68c3a9", "h\u00e9".encode()),
    ("DateTime", datetime.datetime(2024, 1, 2, 3, 4, 5), "2024-01-02T03:04:05+00:00",
     datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=UTC)),
    ("DateTime", datetime.datetime(2024, 1, 2, 3, 4, 5, 60, tzinfo=datetime.timezone(-datetime.timedelta(hours=2))),
     "2024-01-02T03:04:05.000060-02:00", None),
    ("DateTime", "2024-01-02T03:04:05", "2024-01-02T03:04:05+00:00",
     datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=UTC)),
])
def test_column_types(kind, value, text, back):
    t = getattr(models, kind)()
    assert t.process_bind_param(value, None) == text
    assert t.process_result_value(text, None) == (value if back is None else back)
    assert t.process_bind_param(None, None) is None and t.process_result_value(None, dialect=None) is None


def test_date_time_takes_arrow_values():
    arrow = pytest.importorskip("arrow")
    value = arrow.get("2024-01-02T03:04:05.5+01:00")
    assert models.DateTime().process_bind_param(value, None) == "2024-01-02T03:04:05.500000+01:00"


def date_time_values():
    import time
    arrow = pytest.importorskip("arrow")
    return [arrow.get("2024-01-02T03:04:05.5+01:00"), arrow.Arrow(2024, 7, 1, 12, tzinfo="Europe/Paris"),
            time.gmtime(1704164645), time.struct_time((2024, 1, 40, 25, 61, 61, 0, 0, 0)), (2024, 1, 2),
            (2020, 53, 7), datetime.date(2024, 2, 29), "2024-01-02T03:04:05.25-05:30", 1704164645.5,
            datetime.datetime(2024, 1, 2, 3, 4, 5)]


def test_date_time_columns_write_every_value_arrow_takes_as_the_reference_does(ref, db):
    reference = ref.Container.__table__.c.created_at.type.underlying_type
    values = date_time_values()
    for value in values:
        assert models.DateTime().process_bind_param(value, None) == reference.process_bind_param(value, None), value
    # Through a session, into the file and back.
    rows = [container(created_at=value, modified_at=value) for value in values]
    db.session.add_all(rows)
    db.session.commit()
    db.session.close()
    for row, value in zip(rows, values):
        back = db.session.get(models.Container, row.id)
        text = reference.process_bind_param(value, None)
        assert back.created_at == back.modified_at == reference.process_result_value(text, None), value
        assert back.created_at.isoformat() == text


def test_column_types_refuse_what_they_cannot_convert():
    with pytest.raises(ValueError):
        models.GUID().process_bind_param("not an id", None)
    for bad in (bytearray(b"x"), 5):
        with pytest.raises(AttributeError):
            models.Binary().process_bind_param(bad, None)
    with pytest.raises(ValueError):
        models.Binary().process_result_value("abc", None)
    assert models.GUID.impl.length == 32 and models.Binary.impl is models.DateTime.impl


def test_database_key_is_derived_once_and_cleared_on_logout(local):
    from velna.providers import zov
    models.get_sa_key.cache_clear()
    user = zov.session.user
    first = models.get_sa_key()
    assert first == database_key_of(user) and len(first) == 32
    zov.session.user = make_user()  # not read again while the key is cached
    assert models.get_sa_key() == first
    zov.logout()
    with pytest.raises(AttributeError):
        models.get_sa_key()
    with pytest.raises(AttributeError):  # nothing was cached by the failure
        models.get_sa_key()
    zov.session.user = user
    assert models.get_sa_key() == first
    models.get_sa_key.cache_clear()
    zov.session.user = make_user(indexes=(1, 2))
    with pytest.raises(KeyError):
        models.get_sa_key()
    zov.session.user = make_user(active=False)
    assert models.get_sa_key() == database_key_of(zov.session.user)
    models.get_sa_key.cache_clear()
    zov.session.user = types.SimpleNamespace(id=uuid.uuid4(), keys=None)
    with pytest.raises(TypeError):
        models.get_sa_key()
    zov.session.user = public_only_user()
    with pytest.raises(ValueError, match="Can only handle EllipticCurvePrivateKey keys."):
        models.get_sa_key()
    with pytest.raises(TypeError):
        models.get_sa_key(1)


def test_two_users_databases_never_share_a_key(local):
    from velna.providers import zov
    alice, bob = zov.session.user, make_user()
    a = VelnaDatabase()
    a.initialize(alice.id)
    a.session.add(models.User(id="alice"))
    a.session.commit()
    zov.session.user = bob  # bob logs in without logging alice out
    b = VelnaDatabase()
    b.initialize(bob.id)
    b.session.add(models.User(id="bob"))
    b.session.commit()
    assert models.get_sa_key() == database_key_of(bob)
    # Alice's database cannot be written with bob's key...
    a.session.add(models.User(id="alice again"))
    with pytest.raises(PermissionError):
        a.session.commit()
    zov.logout()
    zov.session.user = alice
    assert [u.id for u in a.session.query(models.User).all()] == ["alice"]
    with sqlite3.connect(str(a.path)) as ca, sqlite3.connect(str(b.path)) as cb:
        stored_a = ca.execute("select id from users").fetchone()[0]
        stored_b = cb.execute("select id from users").fetchone()[0]
    from sqlalchemy_utils import EncryptedType
    from sqlalchemy import String
    assert EncryptedType(String, key=database_key_of(alice)).process_result_value(stored_a, None) == "alice"
    assert EncryptedType(String, key=database_key_of(bob)).process_result_value(stored_b, None) == "bob"


def test_keys_table_defaults_and_unique_triple(db, local):
    uid = local.session.user.id
    s = db.session
    key = models.Key(user_id=uid, key_type="signingKeys", pub_key=b"pem", index=0)
    s.add(key)
    s.commit()
    assert isinstance(key.id, int) and key.active is True
    s.close()
    got = s.query(models.Key).filter_by(user_id=str(uid)).one()
    assert (got.id, got.active, got.pub_key, got.index) == (key.id, True, b"pem", 0)
    for user_id, key_type, index in [(uid, "derivationKeys", 0), (uid, "signingKeys", 1), (uuid.uuid4(), "signingKeys", 0)]:
        s.add(models.Key(user_id=user_id, key_type=key_type, pub_key=b"pem", index=index))
    s.commit()
    assert s.query(models.Key).count() == 4
    s.add(models.Key(user_id=uid, key_type="signingKeys", pub_key=b"other", index=0))
    with pytest.raises(IntegrityError):
        s.commit()
    s.rollback()
    assert s.query(models.Key).filter_by(user_id=uid).count() == 3
    with sqlite3.connect(str(db.path)) as con:
        row = con.execute("select * from keys where id = ?", (key.id,)).fetchone()
    assert isinstance(row[0], int) and all(isinstance(v, bytes) for v in row[1:])


@pytest.mark.parametrize("make", [
    lambda cid: models.Container(id=cid, length=1, synced_at=datetime.datetime.now(UTC)),
    lambda cid: models.Container(id=cid, length=None, synced_at=datetime.datetime.now(UTC), portion="all"),
    lambda cid: models.Event(id=1, action="a", container_expired_at=None, container_modified_at=datetime.datetime.now(),
                             date=datetime.datetime.now(), type="t"),
    lambda cid: models.Event(id=1, action="a", container_expired_at=datetime.datetime.now(),
                             container_modified_at=None, date=datetime.datetime.now(), type="t"),
    lambda cid: models.ContainerAccess(user_id=uuid.uuid4(), container_id=cid, permissions=1, key_blob=b""),
])
def test_rows_the_database_refuses(db, make):
    db.session.add(make(uuid.uuid4()))
    with pytest.raises(IntegrityError):
        db.session.commit()


def container(cid=None, **extra):
    fields = dict(id=cid or uuid.uuid4(), length=10, synced_at=datetime.datetime.now(UTC), portion="all")
    fields.update(extra)
    return models.Container(**fields)


def test_joined_loading_cascades_and_repeated_entries(db):
    s = db.session
    u1, u2 = uuid.uuid4(), uuid.uuid4()
    full, bare, other = container(), container(), container()
    full.access[u1] = models.ContainerAccess(user_id=u1, permissions=1, key_blob=b"a")
    s.add_all([full, bare, other])
    s.add(models.ContainerAccess(user_id=u2, container=full, permissions=2, key_blob=b"b"))
    s.add(models.ContainerAccess(user_id=u1, container_id=other.id, permissions=3, key_blob=b"c"))
    s.commit()
    s.close()
    loaded = {c.id: c for c in s.query(models.Container).all()}
    assert set(loaded[full.id].access) == {u1, u2} and loaded[bare.id].access == {}
    for user_id, row in loaded[full.id].access.items():
        assert row.user_id == user_id and row.container is loaded[full.id]
    assert s.query(models.ContainerAccess).filter_by(user_id=u1, container_id=other.id).one().container \
        is loaded[other.id]
    s.add(models.ContainerAccess(user_id=u1, container_id=full.id, permissions=9, key_blob=b""))
    with pytest.raises(IntegrityError):
        s.commit()
    s.rollback()
    # Deleting a container takes its access rows with it, through the session.
    s.delete(s.get(models.Container, full.id))
    s.commit()
    assert s.get(models.Container, full.id) is None
    assert s.query(models.ContainerAccess).count() == 1
    assert s.query(models.ContainerAccess).filter_by(container_id=other.id).count() == 1
    assert s.query(models.Container).first() is not None
    with pytest.raises(database.MultipleResultsFound):
        s.query(models.Container).one()
    with pytest.raises(database.NoResultFound):
        s.query(models.Container).filter_by(id=full.id).one()


def committed_rows_seen_by_a_session(ns, s, other):
    """Runs one sequence of commits in session |s| of model set |ns|, with
    |other| writing the same file in between, and returns what |s| sees."""
    now = datetime.datetime(2024, 1, 2, tzinfo=UTC)
    cid, uid = uuid.UUID(int=1), uuid.UUID(int=2)

    def attempt(read):
        try:
            return read()
        except Exception as e:
            return type(e).__name__

    seen = []
    c = ns.Container(id=cid, type="a", length=1, synced_at=now, portion="all")
    s.add(c)
    s.commit()
    ca = ns.ContainerAccess(user_id=uid, container_id=cid, permissions=1, key_blob=b"k")
    s.add(ca)
    s.commit()
    # The access row committed after the container is in its mapping, and
    # both sides of the relationship are the session's own objects.
    seen.append(("after the access row", list(c.access), c.access.get(uid) is ca, ca.container is c,
                 s.get(ns.Container, cid) is c, c.type))
    theirs = other.get(ns.Container, cid)
    theirs.type = "b"
    other.commit()
    seen.append(("another session's change, before and after a commit", c.type,
                 s.commit() or c.type, s.get(ns.Container, cid) is c))
    s.commit()
    theirs = other.get(ns.Container, cid)
    theirs.type = "c"
    other.commit()
    c.length = 5  # set on an expired object: its other columns keep what is stored
    s.commit()
    other.commit()
    theirs = other.get(ns.Container, cid)
    seen.append(("a change after the commit", c.length, c.type, theirs.length, theirs.type))
    other.delete(other.get(ns.ContainerAccess, (uid, cid)))
    other.commit()
    s.commit()
    seen.append(("the access row deleted elsewhere", c.access, attempt(lambda: ca.permissions)))
    other.delete(other.get(ns.Container, cid))
    other.commit()
    s.commit()
    seen.append(("the container deleted elsewhere", s.get(ns.Container, cid)))
    return seen


@pytest.mark.filterwarnings("ignore:TypeDecorator EncryptedType")  # the reference's own
def test_a_session_sees_what_was_committed_as_sqlalchemy_does(ref, db, local, tmp_path):
    ours = committed_rows_seen_by_a_session(models, db.session, database.sessionmaker(db.engine)())
    key = database_key_of(local.session.user)
    theirs = committed_rows_seen_by_a_session(ref, ref.open_session(tmp_path / "ref.db", key),
                                              ref.open_session(tmp_path / "ref.db", key))
    assert ours == theirs
    assert ours[0] == ("after the access row", [uuid.UUID(int=2)], True, True, True, "a")
    assert ours[1][1:] == ("a", "b", True)
    assert ours[2][1:] == (5, "c", 5, "c")
    assert ours[3][1:] == ({}, "ObjectDeletedError") and ours[4][1:] == (None,)


def test_objects_that_leave_the_session_keep_what_they_last_held(db):
    s = db.session
    c = container(type="a")
    c.access[uuid.UUID(int=3)] = models.ContainerAccess(user_id=uuid.UUID(int=3), permissions=1, key_blob=b"k")
    s.add(c)
    s.commit()
    c.type = "set after the commit"
    s.close()  # nothing was read since the commit: nothing is loaded again
    assert (c.type, c.length, list(c.access)) == ("set after the commit", 10, [uuid.UUID(int=3)])
    assert c.access[uuid.UUID(int=3)].container is c
    assert db.session.get(models.Container, c.id).type == "a"


def test_updates_and_identity_map(db):
    s = db.session
    c = container(type="a")
    event = models.Event(id=2 ** 40, action="a", container_expired_at=datetime.datetime.now(),
                         container_modified_at=datetime.datetime.now(), date=datetime.datetime.now(), type="t")
    s.add_all([c, event])
    s.commit()
    assert s.get(models.Container, c.id) is c and s.get(models.Container, str(c.id)) is c
    assert s.query(models.Event).filter_by(id=2 ** 40).one() is event is s.get(models.Event, 2 ** 40)
    c.type = "b"
    c.length = 11
    s.commit()
    s.close()
    again = s.get(models.Container, c.id)
    assert again is not c and (again.type, again.length) == ("b", 11)
    assert s.query(models.Container).filter_by(type="b").count() == 1
    assert s.query(models.Container).filter_by(type=None).count() == 0


@pytest.mark.parametrize("column,value", [("type", "ends in a star*"), ("length", 1.5), ("length", "12"),
                                          ("type", 12), ("length", None)])
def test_values_that_would_not_come_back_are_refused_at_write(db, column, value):
    c = container(**{column: value})
    db.session.add(c)
    with pytest.raises((ValueError, IntegrityError)) as caught:
        db.session.commit()
    if value is not None:
        assert caught.type is ValueError
    assert db.session.query(models.Container).count() == 0


def test_booleans_in_integer_columns_and_json(ref, local, db, tmp_path):
    s = db.session
    c = container(length=True)
    event = models.Event(id=5, action="a", changes={"k": [1, "two", None]}, container_expired_at=datetime.datetime.now(),
                         container_modified_at=datetime.datetime.now(), date=datetime.datetime.now(), type="t")
    s.add_all([c, event])
    s.commit()
    s.close()
    assert s.get(models.Container, c.id).length == 1
    loaded_event = s.get(models.Event, 5)
    assert loaded_event.changes == {"k": [1, "two", None]}
    assert s.query(models.Event).filter_by(id=5).one() is loaded_event
    key = database_key_of(local.session.user)
    # The stored JSON is JSON text.
    with sqlite3.connect(str(db.path)) as con:
        stored = con.execute("select changes from events").fetchone()[0]
    assert ref.utils.EncryptedType(ref.sa.String, key=key).process_result_value(stored, None) == \
        '{"k": [1, "two", null]}'
    # Rows written by the reference set hold Python literals there; they read here.
    old = tmp_path / "old.db"
    rs = ref.open_session(old, key)
    now = datetime.datetime.now(UTC)
    rs.add(ref.Event(id=7, action="a", changes={"k": [1, "two", None]}, container_expired_at=now,
                     container_modified_at=now, date=now, type="t"))
    old_id = uuid.uuid4()
    rs.add(ref.Container(id=old_id, length=True, synced_at=now, portion="all"))
    rs.commit()
    sess = database.sessionmaker(database.create_engine("sqlite:///%s" % old, user_id=local.session.user.id))()
    assert sess.get(models.Event, 7).changes == {"k": [1, "two", None]}
    assert sess.get(models.Container, old_id).length == 1  # stored there as "True", which it cannot read
    sess.close()


def test_make_class(db, local):
    access = pytest.importorskip("velna.access")
    permissions = pytest.importorskip("velna.permissions")
    when = datetime.datetime(2024, 1, 1, tzinfo=UTC)
    creator = uuid.uuid4()
    row = models.ContainerAccess(user_id=local.session.user.id, container_id=uuid.uuid4(), permissions=139,
                                 expires_at=None, key_blob=b"", created_at=when, created_by=creator,
                                 modified_at=when, modified_by=creator)
    entry = row.make_class()
    assert isinstance(entry, access.Access) and isinstance(entry.permissions, permissions.Permissions)
    assert int(entry.permissions) == 139 and entry.expiration is None
    assert entry.user_id == row.user_id
    assert (entry.created_at, entry.created_by, entry.modified_at, entry.modified_by) == (when, creator, when, creator)
    row.key_blob = b"not a blob"
    with pytest.raises(Exception):
        row.make_class()
    row.key_blob = "text"
    with pytest.raises(TypeError):
        row.make_class()


def test_stored_key_rows_load_into_a_key_ring(db, local):
    import velna.crypto as crypto
    from velna.crypto.keys import KeyRing, KeyRingSchema, KeyType
    user = local.session.user
    for key_type, section in user.keys.items():
        for index, key in section.items():
            db.session.add(models.Key(user_id=user.id, key_type=key_type, index=index,
                                      pub_key=crypto.to_pem_public(key.public)))
    db.session.commit()
    db.session.close()
    rows = db.session.query(models.Key).filter_by(user_id=user.id).all()
    ring, errors = KeyRingSchema(many=True).load(rows)
    assert errors == {} and isinstance(ring, KeyRing) and ring.user_id == user.id
    assert ring[KeyType.AUTH][0].public.public_numbers() == user.keys[KeyType.AUTH][0].public.public_numbers()


def test_deleted_access_rows_stay_deleted(db):
    s = db.session
    user = uuid.uuid4()
    c = container()
    c.access[user] = models.ContainerAccess(user_id=user, permissions=1, key_blob=b"k")
    s.add(c)
    s.commit()
    s.delete(c.access[user])
    s.commit()
    assert c.access == {}
    s.commit()  # nothing comes back on a later flush
    assert s.query(models.ContainerAccess).count() == 0 and s.query(models.Container).count() == 1


def test_reading_sessions_do_not_block_writers_and_text_writes_roll_back(db):
    import threading
    from velna.providers.zov.database import text
    s = db.session
    s.add(container())
    s.commit()
    assert s.query(models.Container).count() == 1  # this thread keeps its session open
    done = []

    def writer():
        db.session.add(container())
        db.session.commit()
        done.append(db.session.query(models.Container).count())
        db.session.remove()

    worker = threading.Thread(target=writer)
    worker.start()
    worker.join(10)
    assert done == [2]
    s.execute(text("DELETE FROM containers"))
    assert s.execute(text("select count(*) from containers")).scalar() == 0
    s.rollback()
    assert s.query(models.Container).count() == 2
