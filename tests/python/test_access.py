"""Access entries: construction, stamps, the key blob built through the
provider registry, text form and equality with its debug trace.

arrow serves as the oracle of the time-stamp conversion only.
"""
import datetime
import logging
import time
import types
import uuid

import arrow
import pytest

import velna.providers as providers
from velna.access import Access
from velna.crypto.container import ContainerKeys
from velna.crypto.kiv import KIV
from velna.permissions import DEFAULT_RECIP_PERMISSIONS, Permissions
from conftest import run_python
from keyring_users import TestUser, alice, bob  # noqa: F401 (fixtures)

ALL = ("container.download|container.decrypt|container.upload|container.access_events|"
       "container.type.view|container.type.modify|access.view|access.modify")
NAMES = ["user_id", "key_blob", "created_at", "created_by", "modified_at", "modified_by",
         "expiration", "permissions"]
UTC = datetime.timezone.utc


class Recorder:
    """Records reads of the attributes the key blob getter uses."""

    def __init__(self, events, label, **values):
        object.__setattr__(self, "_events", events)
        object.__setattr__(self, "_label", label)
        object.__setattr__(self, "_values", values)

    def __getattr__(self, name):
        if name not in self._values:
            raise AttributeError(name)
        self._events.append(self._label + "." + name)
        return self._values[name]


class KeyServer:
    """The provider's key lookup: public key rings by user identifier."""

    def __init__(self, events, rings):
        self.events, self.rings = events, rings

    def get(self, user_id):
        self.events.append(("keys.get", user_id))
        return self.rings[str(user_id)]


class TestProvider:
    __test__ = False

    def __init__(self, sender, rings):
        self.events = []
        user = None if sender is None else Recorder(self.events, "sender", id=sender.id,
                                                    keys=sender.keys)
        self.session = Recorder(self.events, "session", user=user)
        self.keys = KeyServer(self.events, rings)


@pytest.fixture
def scopes(monkeypatch):
    """Counts entries into the provider registry and records how each ends."""
    record = types.SimpleNamespace(entered=0, exits=[])
    real_get = providers.get

    class CountingScope:
        def __init__(self):
            self.inner = real_get()

        def __enter__(self):
            record.entered += 1
            return self.inner.__enter__()

        def __exit__(self, exc_type, exc, tb):
            record.exits.append(exc_type)
            return self.inner.__exit__(exc_type, exc, tb)

    monkeypatch.setattr(providers, "get", CountingScope)
    return record


@pytest.fixture
def container():
    return types.SimpleNamespace(id=uuid.uuid4(), container_keys=ContainerKeys())


@pytest.fixture
def logged_in(alice, bob):
    provider = TestProvider(alice, {str(bob.id): bob.public})
    with providers.use(provider):
        yield provider


@pytest.fixture
def nobody(bob):
    provider = TestProvider(None, {str(bob.id): bob.public})
    with providers.use(provider):
        yield provider


# --- Construction ------------------------------------------------------------

def test_an_entry_with_only_a_user(bob):
    entry = Access(bob.id)
    assert entry.user_id is bob.id
    assert int(entry.permissions) == 255
    assert entry.expiration is None
    assert [getattr(entry, n) for n in ("created_at", "created_by", "modified_at",
                                        "modified_by")] == [None] * 4
    assert entry._key_blob is None
    assert str(entry) == repr(entry) == "<Access Expires=None <Permission(%s) int=255>>" % ALL


@pytest.mark.parametrize("given, value", [(None, 255), (0, 0), (True, 1), (False, 0), (139, 139),
                                          (300, 44), (-1, 255)])
def test_permissions_from_nothing_or_an_integer(given, value):
    entry = Access("u", permissions=given)
    assert isinstance(entry.permissions, Permissions) and int(entry.permissions) == value


def test_permissions_object_is_kept_itself():
    assert Access("u", DEFAULT_RECIP_PERMISSIONS).permissions is DEFAULT_RECIP_PERMISSIONS


@pytest.mark.parametrize("given", ["139", 1.0, object(), b"\x01", [1]])
def test_other_permissions_are_refused(given):
    with pytest.raises(ValueError) as info:
        Access("u", permissions=given)
    assert str(info.value) == "Cannot set permissions"


@pytest.mark.parametrize("given", [
    None,
    datetime.datetime(2030, 1, 2, 3, 4, 5),
    datetime.datetime(2030, 1, 2, 3, 4, 5, tzinfo=datetime.timezone(datetime.timedelta(hours=2))),
])
def test_expiration_is_stored_unchanged(given):
    assert Access("u", expiration=given).expiration is given


@pytest.mark.parametrize("given", ["2030-01-02T03:04:05+00:00", datetime.date(2030, 1, 2),
                                   1893553445, arrow.get(2030, 1, 2)])
def test_expiration_must_be_a_datetime(given):
    with pytest.raises(ValueError) as info:
        Access("u", expiration=given)
    assert str(info.value) == "expiration must be a datetime if provided"


def test_attributes_assigned_later_are_not_checked():
    entry = Access("u")
    entry.expiration, entry.permissions = "tomorrow", 7
    assert (entry.expiration, entry.permissions) == ("tomorrow", 7)


@pytest.mark.parametrize("text, expected", [
    ("2030-01-02T03:04:05+00:00", datetime.datetime(2030, 1, 2, 3, 4, 5, tzinfo=UTC)),
    ("2030-01-02T03:04:05.25-05:00", None),
    ("2030-01-02", None),
    ("20300102T030405Z", None),
])
def test_time_stamps_parse_text_like_arrow(text, expected):
    entry = Access("u")
    entry.created_at = text
    entry.modified_at = text
    oracle = arrow.get(text).datetime
    assert entry.created_at == oracle == entry.modified_at
    assert entry.created_at.utcoffset() == oracle.utcoffset()
    if expected is not None:
        assert entry.created_at == expected


@pytest.mark.parametrize("value", [
    arrow.get("2030-01-02T03:04:05.25-05:00"),
    arrow.Arrow(2030, 7, 1, 12, tzinfo="Asia/Tokyo"),
    time.gmtime(1893553445),
    (2030, 1, 2),
    (2026, 53, 7),
    datetime.date(2030, 1, 2),
    1893553445.5,
], ids=repr)
def test_time_stamps_take_what_arrow_takes(value):
    entry = Access("u")
    entry.created_at = value
    entry.modified_at = value
    oracle = arrow.get(value).datetime
    for stamp in (entry.created_at, entry.modified_at):
        assert type(stamp) is datetime.datetime
        assert stamp == oracle and stamp.utcoffset() == oracle.utcoffset()
    zone = datetime.timezone(datetime.timedelta(hours=9))
    before = arrow.get(zone).datetime
    entry.modified_at = zone
    assert before <= entry.modified_at <= arrow.get(zone).datetime and entry.modified_at.tzinfo is zone
    with pytest.raises(ValueError, match="^ISO Calendar week value must be between 1-53.$"):
        entry.created_at = (2030, 0, 1)
    assert entry.created_at == oracle  # the previous value stays


def test_time_stamps_keep_datetimes_and_refuse_bad_text():
    entry = Access("u")
    naive = datetime.datetime(2030, 1, 2, 3, 4, 5)
    entry.created_at = naive
    assert entry.created_at is naive and entry.created_at.tzinfo is None
    with pytest.raises(ValueError):
        entry.created_at = "not a time"
    assert entry.created_at is naive  # the previous value stays
    entry.created_at = None
    assert entry.created_at is None


def test_user_stamps_go_through_uuid():
    entry = Access("u")
    text = "12345678-1234-5678-1234-567812345678"
    entry.created_by = text
    assert entry.created_by == uuid.UUID(text)
    ident = uuid.uuid4()
    entry.modified_by = ident
    assert entry.modified_by is ident
    with pytest.raises(ValueError):
        entry.modified_by = "nope"
    assert entry.modified_by is ident
    with pytest.raises(TypeError):
        entry.created_by = b"\x00" * 16


def test_text_form_with_an_expiration():
    entry = Access("u", permissions=139,
                   expiration=datetime.datetime(2030, 1, 2, 3, 4, 5, 600, tzinfo=UTC))
    assert str(entry) == ("<Access Expires=2030-01-02 03:04:05.000600+00:00 "
                          "<Permission(container.download|container.decrypt|"
                          "container.access_events|access.view) int=139>>")


# --- The key blob ------------------------------------------------------------

def test_first_read_builds_the_blob_from_the_logged_in_user(scopes, logged_in, container, alice,
                                                            bob):
    entry = Access(str(bob.id))
    entry.container = container
    blob = entry.key_blob
    assert isinstance(blob, KIV)
    assert blob.sender_user_id == alice.id and blob.recipient_user_id == bob.id
    assert blob.get_container_keys(bob.keys, sender_keys=alice.public) == container.container_keys
    # The sender first, then the sender's ring; the recipient's ring last,
    # asked for with the identifier exactly as stored (text here).
    assert logged_in.events == ["session.user", "sender.keys", ("keys.get", str(bob.id))]
    assert (scopes.entered, scopes.exits) == (1, [None])
    assert entry.key_blob is blob
    assert scopes.entered == 1


def test_the_container_is_read_afresh_for_each_argument(logged_in, bob):
    events = []
    entry = Access(str(bob.id))
    entry.container = Recorder(events, "container", id=uuid.uuid4(),
                               container_keys=ContainerKeys())
    entry.key_blob
    assert events == ["container.id", "container.container_keys"]


def test_with_nobody_logged_in_the_read_fails_and_a_later_one_tries_again(
        scopes, nobody, container, alice, bob):
    entry = Access(str(bob.id))
    entry.container = container
    with pytest.raises(AssertionError) as info:
        entry.key_blob
    assert info.value.args == ()
    assert entry._key_blob is None
    assert scopes.exits == [AssertionError]
    nobody.session._values["user"] = alice
    assert isinstance(entry.key_blob, KIV)
    assert scopes.entered == 2


@pytest.mark.parametrize("breakage, error", [
    (lambda entry: delattr(entry, "container"), AttributeError),
    (lambda entry: setattr(entry.container, "container_keys", None), TypeError),
    (lambda entry: setattr(entry, "user_id", "someone else"), KeyError),
])
def test_a_failed_build_keeps_no_blob(scopes, logged_in, container, bob, breakage, error):
    entry = Access(str(bob.id))
    entry.container = container
    breakage(entry)
    with pytest.raises(error):
        entry.key_blob
    assert entry._key_blob is None and scopes.exits == [error]


def test_a_scope_that_swallows_the_failure_gives_nothing(monkeypatch, nobody, bob):
    class Swallowing:
        def __enter__(self):
            return nobody

        def __exit__(self, *exc):
            return True

    monkeypatch.setattr(providers, "get", Swallowing)
    entry = Access(str(bob.id))
    assert entry.key_blob is None


def test_the_sender_check_runs_under_O_too(bob):
    code = """
import velna.providers as providers
from velna.access import Access
entry = Access("u")
try:
    entry.key_blob
except AssertionError as e:
    print("refused", e.args)
"""
    for flags in [(), ("-O",)]:
        result = run_python(code, *flags)
        assert result.stdout.strip() == "refused ()", result.stderr


def test_an_entry_given_a_key_holds_that_blob(scopes, logged_in, container, bob):
    made = Access(str(bob.id))
    made.container = container
    external = made.key_blob.b64
    for key in (external, external.decode()):
        given = Access(str(bob.id), key=key)
        assert given._key_blob == made.key_blob and given.key_blob == made.key_blob
    assert scopes.entered == 1


def test_an_empty_key_means_no_blob_but_writing_one_fails(scopes, logged_in, container, bob):
    for key in ("", b"", None):
        assert Access(str(bob.id), key=key)._key_blob is None
    entry = Access(str(bob.id))
    entry.container = container
    blob = entry.key_blob
    with pytest.raises(TypeError):
        entry.key_blob = ""
    assert entry.key_blob is blob
    with pytest.raises(Exception):
        entry.key_blob = "AAAA"  # decodes, but is no blob
    assert entry.key_blob is blob


# --- Equality ----------------------------------------------------------------

def test_an_entry_is_unequal_to_anything_else_without_reading(nobody):
    entry = Access("u")  # no blob; reading it would fail with nobody logged in
    assert (entry == "u") is False and (entry != "u") is True
    assert entry != None  # noqa: E711


def test_every_attribute_is_read_even_when_the_first_differs(scopes, logged_in, container, bob):
    a, b = Access(str(bob.id)), Access(str(bob.id))
    b.user_id = bob.id  # same user, other type: unequal
    a.container = b.container = container
    assert a != b
    assert a._key_blob is not None and b._key_blob is not None


def test_entries_with_the_same_values_are_equal(logged_in, container, bob):
    a = Access(str(bob.id), permissions=139)
    a.container = container
    b = Access(str(bob.id), permissions=Permissions(139), key=a.key_blob.b64)
    assert a == b and not a != b
    b.modified_at = "2030-01-02T00:00:00Z"
    assert a != b


def test_an_attribute_error_while_reading_counts_as_none(logged_in):
    # No container attached: building the blob fails with AttributeError on
    # both sides, so both blobs count as None.
    a, b = Access("u"), Access("u")
    assert a == b
    assert a._key_blob is None


def test_other_failures_while_reading_end_the_comparison(nobody):
    a, b = Access("u"), Access("u")
    with pytest.raises(AssertionError):
        a == b


def trace(caplog, velna_level, key):
    caplog.set_level(logging.DEBUG, logger="velna.access")
    velna = logging.getLogger("velna")
    access = logging.getLogger("velna.access")
    old = velna.level, access.level
    velna.setLevel(velna_level)
    access.setLevel(logging.NOTSET)
    caplog.clear()
    try:
        a, b = Access("u", key=key), Access("v", key=key)
        result = a == b
    finally:
        velna.setLevel(old[0])
        access.setLevel(old[1])
    return result, [r for r in caplog.records if r.name == "velna.access"]


@pytest.fixture
def blob_b64(logged_in, container, bob):
    entry = Access(str(bob.id))
    entry.container = container
    return entry.key_blob.b64


def test_equality_trace_while_velna_is_exactly_at_debug(caplog, blob_b64):
    result, records = trace(caplog, logging.DEBUG, blob_b64)
    assert result is False
    assert [r.levelno for r in records] == [logging.DEBUG] * 9
    assert [r.getMessage() for r in records] == ["Comparing Access Equality"] + [
        "%s %s" % (name, name != "user_id") for name in NAMES]
    assert all(r.msg == "%s %s" for r in records[1:])


@pytest.mark.parametrize("level", [logging.NOTSET, logging.INFO, logging.DEBUG + 1])
def test_no_trace_unless_velna_is_exactly_at_debug(caplog, blob_b64, level):
    result, records = trace(caplog, level, blob_b64)
    assert result is False and records == []
