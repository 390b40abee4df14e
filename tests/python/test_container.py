"""The Container: construction, stamps, encryption states, the data
property, length, text form and equality with its debug trace.

arrow serves as the oracle of the time-stamp conversion only.
"""
import contextlib
import datetime
import logging
import time
import types
import uuid

import arrow
import pytest

import velna.crypto.aes as aes
import velna.crypto.container as container
import velna.providers as providers
from velna._cryptolib import ParseError

Container, ContainerKeys = container.Container, container.ContainerKeys
UTC = datetime.timezone.utc
ID_TEXT = "12345678-1234-5678-1234-567812345678"
NAMES = ["id", "data", "access", "container_keys", "created_at", "created_by", "modified_at",
         "modified_by", "type", "length"]


@pytest.fixture
def login():
    """login(user) makes |user| the session user of the active provider."""
    provider = providers.Provider()
    with providers.use(provider):
        yield lambda user: setattr(provider.session, "user", user)


@pytest.fixture(autouse=True)
def nobody_logged_in(login):
    login(None)


@pytest.fixture
def registry(monkeypatch):
    """A stand-in registry bound as the module's providers; counts its uses."""
    uses = types.SimpleNamespace(gets=0, enters=0, exits=[], provider=providers.Provider())

    @contextlib.contextmanager
    def scope():
        uses.enters += 1
        try:
            yield uses.provider
        except BaseException as e:
            uses.exits.append(type(e))
            raise
        uses.exits.append(None)

    def get():
        uses.gets += 1
        return scope()

    monkeypatch.setattr(container, "providers", types.SimpleNamespace(get=get))
    return uses


def plaintext(**kwargs):
    kwargs.setdefault("header", {"a": 1})
    kwargs.setdefault("content", b"xyz")
    return Container(**kwargs)


def state(c):
    """Everything a failed operation must leave as it was."""
    d = dict(c.__dict__)
    if hasattr(c, "_container"):
        d["_container"] = c._container  # the record is made on first read
    d["header state"] = dict(c.header.__dict__)
    d["content state"] = dict(c.content.__dict__)
    return d


# --- construction ---------------------------------------------------------------


def test_new_container_from_header_and_content():
    before = datetime.datetime.now(UTC)
    c = plaintext(type="note", unused="ignored")
    after = datetime.datetime.now(UTC)
    assert c.id.version == 4 and c.id != plaintext().id
    assert (c.encrypted, c.container_keys, c.type, c.modified_at, c.modified_by) == (False, None, "note", None, None)
    assert before <= c.created_at <= after and c.created_at.utcoffset() == datetime.timedelta(0)
    assert not hasattr(c, "length") and c._enc_data is None
    assert (c.header.data, c.content.data, type(c.content)) == ({"a": 1}, b"xyz", container.RawPayload)
    assert plaintext().type is None


def test_new_identifiers_are_standard_random_version_4_uuids():
    ids = [plaintext().id for _ in range(200)]
    assert len(set(ids)) == len(ids)
    for i in ids[:20]:
        twin = uuid.UUID(str(i))
        assert type(i) is uuid.UUID and i.version == 4 and i.variant == uuid.RFC_4122
        assert (i == twin, hash(i) == hash(twin), i.int == twin.int, i.is_safe) == (True, True, True,
                                                                                   uuid.SafeUUID.unknown)
        with pytest.raises(TypeError):
            i.int = 0  # as immutable as any other UUID


def test_a_replaced_uuid4_makes_the_identifiers(monkeypatch):
    fixed = uuid.UUID(ID_TEXT)
    monkeypatch.setattr(container, "uuid4", lambda: fixed)
    assert plaintext().id is fixed


@pytest.mark.parametrize("given, expected", [
    (ID_TEXT, uuid.UUID(ID_TEXT)),
    ("{" + ID_TEXT.upper() + "}", uuid.UUID(ID_TEXT)),
    ("urn:uuid:" + ID_TEXT.replace("-", ""), uuid.UUID(ID_TEXT)),
    (5, 5),
])
def test_container_id_is_coerced(given, expected):
    assert plaintext(container_id=given).id == expected


def test_container_id_as_a_uuid_is_kept_as_the_same_object():
    given = uuid.uuid4()
    assert plaintext(container_id=given).id is given


@pytest.mark.parametrize("given, message", [(None, ""), ("junk", None), ("1" * 31, None)])
def test_container_id_that_is_not_an_identifier_is_a_value_error(given, message):
    with pytest.raises(ValueError) as info:
        plaintext(container_id=given)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("missing", ["header", "content"])
def test_missing_header_or_content_is_a_key_error(missing):
    kwargs = {"header": None, "content": b""}
    del kwargs[missing]
    with pytest.raises(KeyError) as info:
        Container(**kwargs)
    assert info.value.args == (missing,)


def test_content_class_refusing_the_content_fails_construction():
    with pytest.raises(ValueError, match=r"^Can only set bytes\.$"):
        plaintext(content="text")


def test_built_from_a_blob_the_keywords_of_plaintext_are_not_read():
    c = plaintext()
    c.encrypt()
    back = Container(c.data, container_id="junk", type="t")
    assert back.id == c.id and back.encrypted and back.type == "t" and back.container_keys is None
    assert back.length == len(c.data) and back.created_at is not None


@pytest.mark.parametrize("user, created_by", [
    (None, None),
    (types.SimpleNamespace(), None),
    (types.SimpleNamespace(id=None), None),
    (types.SimpleNamespace(id=ID_TEXT), uuid.UUID(ID_TEXT)),
])
def test_created_by_is_the_session_user_id(login, user, created_by):
    login(user)
    assert plaintext().created_by == created_by


def test_created_by_keeps_a_uuid_user_id_as_the_same_object(login):
    user_id = uuid.uuid4()
    login(types.SimpleNamespace(id=user_id))
    assert plaintext().created_by is user_id


def test_each_construction_enters_the_registry_once(registry):
    c = plaintext()
    c.encrypt()
    Container(data=c.data)
    assert (registry.gets, registry.enters, registry.exits) == (2, 2, [None, None])


@pytest.mark.parametrize("provider", [
    types.SimpleNamespace(),
    types.SimpleNamespace(session=types.SimpleNamespace()),
])
def test_provider_without_session_or_user_fails_construction_and_leaves_the_scope(registry, provider):
    registry.provider = provider
    with pytest.raises(AttributeError):
        plaintext()
    assert (registry.enters, registry.exits) == (1, [AttributeError])


def test_user_id_that_is_not_an_identifier_fails_construction(login):
    login(types.SimpleNamespace(id="not an id"))
    with pytest.raises(ValueError):
        plaintext()


# --- stamps -----------------------------------------------------------------------


@pytest.mark.parametrize("name", ["created_by", "modified_by"])
@pytest.mark.parametrize("value, expected", [
    (None, None), (ID_TEXT, uuid.UUID(ID_TEXT)), (ID_TEXT.replace("-", ""), uuid.UUID(ID_TEXT)), (7, 7),
])
def test_user_stamps_are_coerced(name, value, expected):
    c = plaintext()
    setattr(c, name, value)
    assert getattr(c, name) == expected


@pytest.mark.parametrize("name", ["created_by", "modified_by"])
def test_user_stamp_refuses_text_that_is_not_an_identifier(name):
    with pytest.raises(ValueError):
        setattr(plaintext(), name, "junk")


NAIVE = datetime.datetime(2020, 1, 2, 3, 4, 5)
AWARE = datetime.datetime(2020, 1, 2, 3, 4, 5, tzinfo=datetime.timezone(datetime.timedelta(hours=2)))


@pytest.mark.parametrize("name", ["created_at", "modified_at"])
@pytest.mark.parametrize("value", [None, NAIVE, AWARE])
def test_time_stamps_keep_nothing_and_date_times_as_they_are(name, value):
    c = plaintext()
    setattr(c, name, value)
    assert getattr(c, name) is value


@pytest.mark.parametrize("name", ["created_at", "modified_at"])
@pytest.mark.parametrize("value", [
    "2020-01-02T03:04:05+00:00",
    "2020-01-02T03:04:05Z",
    "2020-01-02 03:04:05.250-05:30",
    "20200102T030405",
    "2020-01-02",
    1577934245,
    1577934245.5,
    datetime.date(2020, 1, 2),
    # the forms an application has at hand besides text and numbers
    arrow.get("2020-01-02T03:04:05.25+05:30"),
    arrow.Arrow(2020, 7, 1, 12, tzinfo="Europe/Paris"),
    time.gmtime(1577934245),
    time.struct_time((2020, 1, 40, 25, 61, 61, 0, 0, 0)),
    (2020, 1, 2),
    (2021, 53, 1),
    datetime.date(2024, 2, 29).isocalendar(),
], ids=repr)
def test_other_time_values_are_converted_as_arrow_does(name, value):
    c = plaintext()
    setattr(c, name, value)
    assert getattr(c, name) == arrow.get(value).datetime
    assert getattr(c, name).utcoffset() == arrow.get(value).datetime.utcoffset()


def test_iso_text_gives_an_aware_utc_date_time():
    c = plaintext()
    c.created_at = "2020-01-02T03:04:05+00:00"
    assert c.created_at == datetime.datetime(2020, 1, 2, 3, 4, 5, tzinfo=UTC)
    assert c.created_at.utcoffset() == datetime.timedelta(0)


@pytest.mark.parametrize("value", ["junk", "1577934245", [2020]])
def test_time_stamp_refuses_what_arrow_refuses(value):
    with pytest.raises((ValueError, TypeError)):
        plaintext().created_at = value
    with pytest.raises((ValueError, TypeError)):
        arrow.get(value)


@pytest.mark.parametrize("name", ["created_at", "modified_at"])
@pytest.mark.parametrize("value", [(2020, 54, 1), (2020, 1), (0, 1, 1), time.struct_time((2020, 13, 1, 0, 0, 0, 0, 0, 0))],
                         ids=repr)
def test_a_refused_time_value_fails_as_in_arrow_and_keeps_the_stamp(name, value):
    c = plaintext()
    setattr(c, name, NAIVE)
    with pytest.raises(Exception) as theirs:
        arrow.get(value)
    with pytest.raises(Exception) as ours:
        setattr(c, name, value)
    assert (type(ours.value), str(ours.value)) == (type(theirs.value), str(theirs.value))
    assert getattr(c, name) is NAIVE


@pytest.mark.parametrize("name", ["created_at", "modified_at"])
def test_a_time_zone_stamps_the_current_time_there(name):
    zone = datetime.timezone(datetime.timedelta(hours=-3))
    c = plaintext()
    before = arrow.get(zone).datetime
    setattr(c, name, zone)
    after = arrow.get(zone).datetime
    assert before <= getattr(c, name) <= after and getattr(c, name).tzinfo is zone


# --- encrypt and decrypt ------------------------------------------------------------


def test_encrypt_without_keys_makes_and_stores_new_keys():
    c = plaintext()
    keys = c.encrypt()
    blob = c.data
    assert isinstance(keys, ContainerKeys) and c.container_keys is keys
    assert c.encrypted and type(blob) is bytes and c.length == len(c) == len(blob)
    assert len(blob) == 232 + len('{"version": 1, "customData": {"a": 1}}') + 3
    assert blob[8:24] == c.id.bytes_le
    before = state(c)
    assert c.encrypt() is None and c.encrypt(ContainerKeys()) is None
    assert state(c) == before and c.data is blob


def test_encrypt_with_given_keys_uses_that_very_object():
    keys = ContainerKeys()
    c = plaintext()
    assert c.encrypt(keys) is keys and c.container_keys is keys
    assert Container(data=c.data).decrypt(keys) is None


def test_decrypt_of_a_blob_with_the_keys_restores_the_plaintext():
    c = plaintext(content=b"raw content")
    keys = c.encrypt()
    back = Container(data=c.data)
    blob_len = len(c.data)
    before = state(back)
    with pytest.raises(RuntimeError, match=r"^No Container Keys exist; cannot decrypt\.$"):
        back.decrypt()
    assert state(back) == before
    back.decrypt(keys)
    assert not back.encrypted and (back.header.data, back.content.data) == ({"a": 1}, b"raw content")
    assert back.container_keys == keys and back.container_keys is not keys
    assert back.length == blob_len and len(back) == 1 + len(b"raw content")
    assert back._enc_data == c.data and back._container is before["_container"]


def test_decrypt_without_keys_uses_the_stored_ones():
    c = plaintext()
    keys = c.encrypt()
    c.decrypt()
    assert not c.encrypted and c.header.data == {"a": 1} and c.container_keys == keys
    assert c.container_keys is not keys


def test_decrypt_of_a_plaintext_container_only_replaces_the_keys():
    c = plaintext()
    keys = ContainerKeys()
    header, content = c.header, c.content
    c.decrypt(keys)
    assert c.container_keys == keys and c.container_keys is not keys
    assert c.header is header and c.content is content and not c.encrypted


def test_encrypting_again_draws_new_keys_unless_given():
    c = plaintext()
    first = c.encrypt()
    blob = c.data
    c.decrypt()
    second = c.encrypt()
    assert second != first
    c.decrypt()
    c.encrypt(first)
    assert len(c.data) == len(blob) and c.data != blob and c.data[:56] == blob[:56]


def test_json_content_class_round_trips():
    c = Container(header="h", content={"n": [1, 2]}, content_cls=container.JSONPayload)
    keys = c.encrypt()
    back = Container(c.data, container.JSONPayload)
    back.decrypt(keys)
    assert (back.header.data, back.content.data, type(back.content)) == ("h", {"n": [1, 2]}, container.JSONPayload)


def test_decrypt_with_other_keys_logs_one_error_and_changes_nothing(log_lines):
    c = plaintext()
    c.encrypt()
    back = Container(data=c.data)
    before = state(back)
    with pytest.raises(aes.DecryptionError, match=r"^Container Digest verification failure\.$"):
        back.decrypt(ContainerKeys())
    assert state(back) == before
    assert log_lines("velna.crypto.container") == [(logging.ERROR, "Container Digest verification failure.")]


def test_failed_content_decryption_rolls_the_header_back(log_lines):
    c = plaintext()
    keys = c.encrypt()
    blob = bytearray(c.data)
    blob[-57] ^= 1  # last content ciphertext byte
    back = Container(data=bytes(blob))
    before = state(back)
    with pytest.raises(aes.DecryptionError):
        back.decrypt(keys)
    assert state(back) == before and back.encrypted and back.container_keys is None
    assert len(log_lines("velna.crypto.container")) == 1


@pytest.mark.parametrize("kwargs, error", [
    ({"content": None}, ValueError),
    ({"container_id": 5}, AttributeError),
])
@pytest.mark.parametrize("given", [False, True])
def test_failed_encrypt_leaves_the_container_as_it_was(kwargs, error, given):
    c = plaintext(**kwargs)
    previous = ContainerKeys()
    c.decrypt(previous)  # a plaintext container with stored keys
    before = state(c)
    with pytest.raises(error):
        c.encrypt(ContainerKeys() if given else None)
    assert state(c) == before and not c.encrypted and not hasattr(c, "length")


@pytest.mark.parametrize("which", ["header", "content"])
def test_container_with_one_encrypted_portion_is_not_encrypted_and_refuses_encrypt(which):
    c = plaintext()
    getattr(c, which).encrypt(ContainerKeys())
    before = state(c)
    assert c.encrypted is False
    with pytest.raises(RuntimeError):
        c.encrypt()
    assert state(c) == before


# --- the data property ---------------------------------------------------------------


def test_parsed_record_views_the_blob_without_copies():
    c = plaintext()
    c.encrypt()
    for holder in (c, Container(data=c.data)):
        rec, blob = holder._container, holder._enc_data
        assert container.ContainerStruct.build(rec) == blob
        for section in (rec.header, rec.content):
            for name in ("iv", "encrypted", "digest"):
                view = section[name]
                assert isinstance(view, memoryview) and view.readonly and view.obj is blob
        start = 56 + 8 + 16 + 8
        assert bytes(rec.header.encrypted) == blob[start : start + rec.header.encrypted_length]
        assert holder._container is rec  # the same record at every read


def test_the_record_attribute_can_be_replaced():
    c = plaintext()
    assert not hasattr(c, "_container")
    c.encrypt()
    c._container = None
    assert c._container is None
    c.data = c.data
    assert container.ContainerStruct.build(c._container) == c._enc_data


def test_writing_data_on_a_plaintext_container_is_refused(log_lines):
    c = plaintext()
    before = state(c)
    with pytest.raises(AttributeError, match=r"^Can't set attribute for a decrypted container\.$"):
        c.data = b"anything"
    assert state(c) == before
    assert log_lines("velna.crypto.container") == [(logging.WARNING, "Can't set attribute for a decrypted container.")]


@pytest.mark.parametrize("empty", [b"", None])
def test_writing_no_blob_leaves_empty_encrypted_portions(empty):
    c = plaintext()
    keys = c.encrypt()
    c.type, c.modified_by = "t", ID_TEXT
    stamps = (c.id, c.type, c.created_at, c.created_by, c.modified_by)
    c.data = empty
    assert c.data is empty and c.length == 0 and len(c) == 0 and not c and c.encrypted
    assert c.header.encrypted and c.header.data is None and c.content.data is None and c._container is None
    assert (c.id, c.type, c.created_at, c.created_by, c.modified_by) == stamps and c.container_keys is keys


def test_writing_another_blob_reads_it_whole():
    a, b = plaintext(), plaintext(header="other", content=b"123456")
    a.encrypt()
    keys = b.encrypt()
    a.data = b.data
    assert a.id == b.id and a.length == len(b.data) and a.data is b.data and a.container_keys is not keys
    a.decrypt(keys)
    assert (a.header.data, a.content.data) == ("other", b"123456")


@pytest.mark.parametrize("cut", [1, 55, 100, -1])
def test_writing_a_malformed_blob_changes_nothing(cut):
    c = plaintext()
    c.encrypt()
    other = plaintext()
    other.encrypt()
    before = state(c)
    with pytest.raises(ParseError):
        c.data = other.data[:cut]
    assert state(c) == before


@pytest.mark.parametrize("header, content, length, view", [
    ({"a": 1}, b"xyz", 4, "{'a': 1}b'xyz'"),
    (None, b"xyz", 3, b"xyz"),
    ("hdr", b"", 3, "hdr"),
    ([], b"", 0, b""),
])
def test_length_and_data_view_of_a_plaintext_container(header, content, length, view):
    c = Container(header=header, content=content)
    assert len(c) == length and c.data == view and bool(c) is (length > 0)


def test_length_of_a_plaintext_container_without_content_is_a_type_error():
    with pytest.raises(TypeError):
        len(Container(header=None, content=None))


def test_text_form():
    c = plaintext(container_id=ID_TEXT)
    assert repr(c) == "<Container(%s) Encrypted: False>" % ID_TEXT
    c.encrypt()
    assert repr(c) == "<Container(%s) Encrypted: True>" % ID_TEXT


# --- equality --------------------------------------------------------------------------


def blob_pair():
    c = plaintext()
    c.encrypt()
    return Container(data=c.data), Container(data=c.data)


def test_containers_from_one_blob_are_equal_once_their_stamps_agree(login):
    a, b = blob_pair()
    assert a == a and not a != a
    assert a != b and not a == b
    b.created_at = a.created_at
    assert a == b and not a != b
    login(types.SimpleNamespace(id=uuid.uuid4()))
    c = Container(data=a.data)
    c.created_at = a.created_at
    assert a != c
    c.created_by = None
    assert a == c


@pytest.mark.parametrize("other", [None, b"", "x", 0, object()])
def test_a_container_never_equals_another_class(other):
    a, _ = blob_pair()
    assert a.__eq__(other) is False and a.__ne__(other) is True


def test_equality_accepts_derived_classes_on_the_right_only():
    class Derived(Container):
        pass

    a, _ = blob_pair()
    d = Derived(data=a.data)
    d.created_at = a.created_at
    assert Container.__eq__(a, d) is True
    assert Derived.__eq__(d, a) is False


def test_containers_in_different_states_are_unequal():
    c = plaintext()
    keys = c.encrypt()
    back = Container(data=c.data)
    back.created_at = c.created_at
    c.decrypt(keys)
    assert c != back and back != c


class Counted:
    """An access value whose comparisons are counted."""

    def __init__(self, calls):
        self.calls = calls

    def __eq__(self, other):
        self.calls.append(1)
        return True


def trace_records(caplog, velna_level, module_level=logging.DEBUG):
    caplog.set_level(module_level, logger="velna.crypto.container")
    caplog.set_level(velna_level, logger="velna")
    caplog.handler.setLevel(logging.DEBUG)
    a, b = blob_pair()
    calls = []
    a.access, b.access = Counted(calls), Counted(calls)
    caplog.clear()
    result = a == b
    records = [r for r in caplog.records if r.name == "velna.crypto.container"]
    return result, records, len(calls)


def test_equality_trace_while_velna_is_exactly_at_debug(caplog):
    result, records, calls = trace_records(caplog, logging.DEBUG)
    assert result is False and calls == 2
    assert [r.levelno for r in records] == [logging.DEBUG] * 11
    assert records[0].getMessage() == "Checking Container Equality."
    assert all(r.msg == "%s:         %s" for r in records[1:])
    assert [r.getMessage() for r in records[1:]] == [
        "%s:         %s" % (name, name != "created_at") for name in NAMES
    ]


@pytest.mark.parametrize("velna_level", [logging.NOTSET, logging.INFO, logging.DEBUG - 1, logging.DEBUG + 1])
def test_no_equality_trace_unless_velna_is_exactly_at_debug(caplog, velna_level):
    result, records, calls = trace_records(caplog, velna_level)
    assert (result, records, calls) == (False, [], 1)


# --- replaced members are honoured ---------------------------------------------------


def recording_class(member, calls):
    """A RawPayload subclass whose |member| records its call and defers to the base."""
    base = getattr(container.RawPayload, member)

    def override(self, *args, **kwargs):
        calls.append(member)
        return base(self, *args, **kwargs)

    return type("Recording", (container.RawPayload,), {member: override})


@pytest.mark.parametrize("member", ["__init__", "encrypt", "decrypt", "set_encrypted_data", "set_plaintext_data"])
def test_content_class_overrides_are_called(member):
    calls = []
    cls = recording_class(member, calls)
    c = Container(header="h", content=b"body", content_cls=cls)
    keys = c.encrypt()
    back = Container(c.data, cls)
    back.decrypt(keys)
    assert member in calls and (back.header.data, back.content.data) == ("h", b"body")
    assert type(back.content) is cls


@pytest.mark.parametrize("member", ["encrypt", "decrypt", "set_encrypted_data", "set_plaintext_data"])
def test_instance_level_replacements_are_called(member, monkeypatch):
    c = plaintext()
    keys = ContainerKeys()
    if member in ("decrypt", "set_plaintext_data"):
        c.encrypt(keys)
    calls = []
    real = getattr(c.content, member)
    monkeypatch.setattr(c.content, member, lambda *a: calls.append(a) or real(*a))
    (c.decrypt if member in ("decrypt", "set_plaintext_data") else c.encrypt)(keys)
    assert len(calls) == 1


def test_sections_inside_a_container_read_as_bytes_of_the_blob():
    c = plaintext()
    c.encrypt()
    for holder in (c, Container(data=c.data)):
        h, b = holder.header.data, holder.content.data
        assert type(h) is bytes and type(b) is bytes
        assert holder.data == holder.data[:56] + h + b
        assert holder.content._encrypted_data is b and repr(holder.content) == "<RawPayload(enc_data=%r)>" % b
        assert len(holder.content) == len(b)


def test_replaced_properties_are_read():
    other_mac = bytes(range(50, 178))

    class Keys(ContainerKeys):
        mac_key = property(lambda self: other_mac)

    c = plaintext()
    keys = Keys()
    c.encrypt(keys)
    back = Container(data=c.data)
    with pytest.raises(aes.DecryptionError):
        back.decrypt(ContainerKeys(cipher_key=keys.cipher_key, mac_key=keys.container.mac_key))
    back.decrypt(ContainerKeys(cipher_key=keys.cipher_key, mac_key=other_mac))
    assert back.content.data == b"xyz"

    stamps = []

    class Stamped(Container):
        created_at = property(lambda self: "read", lambda self, value: stamps.append(value))

    assert Stamped(header=None, content=b"").created_at == "read" and len(stamps) == 1

    class Shouting(container.RawPayload):
        data = property(lambda self: b"LOUD", container.RawPayload.data.fset)

    assert len(Container(header=None, content=b"x", content_cls=Shouting)) == 4
