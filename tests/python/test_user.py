"""velna.user: the User class and the account operations over a recording
provider installed in the registry."""
import logging
import types
import uuid

import pytest

import velna.providers as providers
import velna.utils as utils

user = pytest.importorskip("velna.user")
from recording import RecordingProvider, install  # noqa: E402

UID = uuid.UUID("0b8f2a1c-3d4e-4f50-8a6b-7c8d9e0f1a2b")
CREATED = []


class KeyFile:
    """A key file as the account code sees it: an encrypted flag, encrypt,
    the bytes it stores and the user it belongs to."""

    def __init__(self, user_id=UID, stored=None, encrypted=False):
        self.user_id, self.stored, self.encrypted = user_id, stored, encrypted
        self.encrypt_calls = []

    def encrypt(self, password, passphrase):
        self.encrypt_calls.append((password, passphrase))
        self.encrypted = True
        self.stored = b"sealed"
        return self

    def __eq__(self, other):
        return isinstance(other, KeyFile) and self.stored == other.stored


class Ring(dict):
    def __init__(self, lockbox):
        super().__init__()
        if getattr(lockbox, "broken", False):
            raise ValueError("not a P-384 key")
        self.user_id = lockbox.user_id

    def __eq__(self, other):
        return isinstance(other, Ring) and vars(self) == vars(other)


class Key:
    def __init__(self, kind):
        self.kind = kind
        CREATED.append(kind)


@pytest.fixture
def keys(monkeypatch):
    """Key classes that the module finds through its name `keys`."""
    fake = types.SimpleNamespace(KeyRing=Ring, AuthKey=lambda: Key("auth"), DerivationKey=lambda: Key("derivation"))
    monkeypatch.setattr(user, "keys", fake)
    CREATED.clear()
    return fake


@pytest.fixture
def provider(monkeypatch, keys):
    p = RecordingProvider()
    install(monkeypatch, p)
    p.results["user.create"] = lambda **kw: user.User(UID, KeyFile())

    def login(user=None):
        p.session.user = user

    p.results["login"] = login
    return p


@pytest.fixture
def velna_debug():
    velna = logging.getLogger("velna")
    old = velna.level
    velna.setLevel(logging.DEBUG)
    yield
    velna.setLevel(old)


def calls_without_scopes(p):
    return [c for c in p.calls if c[0] not in ("enter", "exit", "session.user")]


# ---- User ---------------------------------------------------------------------

def test_user_class_shape():
    assert user.User.__doc__ == "An Velna User."
    assert user.User.__bases__ == (object,)
    assert user.User.__module__ == "velna.user"


def test_a_user_builds_its_key_ring_from_the_key_file(keys):
    lockbox = KeyFile()
    u = user.User(id=UID, lockbox=lockbox)
    assert u.id is UID and u.lockbox is lockbox
    assert isinstance(u.keys, Ring) and u.keys.user_id == UID
    assert list(vars(u)) == ["id", "keys", "_lockbox"]


def test_an_encrypted_key_file_is_refused(keys):
    with pytest.raises(ValueError, match="^Can only accept decrypted key files.$"):
        user.User(UID, KeyFile(encrypted=True))
    u = user.User(UID, KeyFile())
    ring, lockbox = u.keys, u.lockbox
    for bad, error in [(KeyFile(encrypted=True), ValueError), (None, AttributeError),
                       (types.SimpleNamespace(encrypted=False, user_id=UID, broken=True), ValueError)]:
        with pytest.raises(error):
            u.lockbox = bad
        assert u.keys is ring and u.lockbox is lockbox


def test_a_second_key_file_replaces_ring_then_file(keys):
    u = user.User(UID, KeyFile())
    second = KeyFile(user_id="other")
    first_ring = u.keys
    u.lockbox = second
    assert u.lockbox is second and u.keys is not first_ring and u.keys.user_id == "other"


def test_the_key_ring_class_is_looked_up_at_each_use(keys, monkeypatch):
    seen = []

    class Spy(Ring):
        def __init__(self, lockbox):
            seen.append(lockbox)
            super().__init__(lockbox)

    u = user.User(UID, KeyFile())
    monkeypatch.setattr(keys, "KeyRing", Spy)
    second = KeyFile()
    u.lockbox = second
    assert seen == [second] and isinstance(u.keys, Spy)


@pytest.mark.parametrize("ident, text", [(UID, "<User %s>" % UID), ("plain text", "<User plain text>")])
def test_text_form(keys, ident, text):
    u = user.User(ident, KeyFile())
    assert repr(u) == str(u) == text


def test_equality(keys):
    lockbox = KeyFile()
    a, b = user.User(UID, lockbox), user.User(uuid.UUID(str(UID)), lockbox)
    assert a == b and not (a != b)
    c = user.User(UID, KeyFile(stored=b"other bytes"))
    assert a != c and not (a == c)
    assert (a == object()) is False and (a != object()) is True

    class Sub(user.User):
        pass

    # One-sided: a user equals an instance of a derived class, not the reverse
    # (and == asks the derived class first).
    sub = Sub(UID, lockbox)
    assert a.__eq__(sub) is True and sub.__eq__(a) is False and (a == sub) is False


def test_users_are_not_hashable(keys):
    with pytest.raises(TypeError):
        {user.User(UID, KeyFile()): 1}


# ---- module bindings and wrapping ---------------------------------------------------

def test_load_time_bindings():
    import velna.crypto.keys
    import velna.decorators as decorators

    assert user.keys is velna.crypto.keys and user.providers is providers
    assert user.logged is decorators.logged and user.login_required is decorators.login_required
    assert user.is_password_valid is utils.is_password_valid
    assert user.log is logging.getLogger("velna.user")
    for name in ("create", "delete", "get_backup_reminder", "change_credentials"):
        assert getattr(user, name).__name__ == name


def test_validator_defaults_are_bound_at_load(provider, monkeypatch):
    original = utils.is_password_valid
    monkeypatch.setattr(user, "is_password_valid", lambda value: False)
    monkeypatch.setattr(utils, "is_password_valid", lambda value: False)
    assert user.create("Passw0rdX", "", "Passphr4se") is not None
    user.change_credentials("weak", "weak")
    assert provider.calls[-2][2]["password_validator"] is original


# ---- create -----------------------------------------------------------------------

@pytest.mark.parametrize("password, passphrase, message", [
    ("Short1a", "Passphr4se", "password does not meet complexity requirements."),
    ("Short1a", "weak", "password does not meet complexity requirements."),
    ("Passw0rdX", "weakweak", "passphrase does not meet complexity requirements."),
])
def test_credential_checks_come_first_and_in_order(provider, log_lines, password, passphrase, message):
    with pytest.raises(ValueError, match="^%s$" % message):
        user.create(password, "hint", passphrase)
    assert log_lines("velna.user") == [(logging.INFO, "Creating a new user."), (logging.INFO, message)]
    assert CREATED == [] and provider.calls == []


def test_validators_are_called_once_with_their_value_and_judged_by_truth(provider):
    seen = []

    def judge(result):
        def validator(*args, **kwargs):
            seen.append((args, kwargs))
            return result
        return validator

    user.create("p", "r", "q", password_validator=judge("yes"), reminder_validator=judge([1]),
                passphrase_validator=judge(object()))
    assert seen == [(("p",), {}), (("q",), {}), (("r",), {})]
    with pytest.raises(ValueError, match="^reminder does not"):
        user.create("p", "r", "q", judge(True), judge([]), judge(True))


def test_any_reminder_passes_the_default_rule(provider):
    for reminder in ("", None, 0):
        assert user.create("Passw0rdX", reminder, "Passphr4se") is not None


def test_a_failing_validator_passes_its_own_failure(provider, log_lines):
    def boom(value):
        raise KeyError("validator")

    with pytest.raises(KeyError):
        user.create("p", "r", "q", password_validator=boom)
    assert log_lines("velna.user") == [(logging.INFO, "Creating a new user.")]


def test_create_registers_logs_in_encrypts_and_stores(provider, log_lines):
    new = user.create("Passw0rdX", "my hint", "Passphr4se")
    assert CREATED == ["auth", "derivation"]
    names = [c[0] for c in provider.calls]
    assert names == ["enter", "user.create", "login", "lockbox.update_or_create", "exit"]
    _, args, kwargs = provider.calls[1]
    assert args == () and list(kwargs) == ["signing_key", "derivation_key"]
    assert [k.kind for k in kwargs.values()] == ["auth", "derivation"]
    assert provider.calls[2][1:] == ((), {"user": new})
    _, args, kwargs = provider.calls[3]
    assert args[0] is new.lockbox and kwargs == {"reminder": "my hint", "passphrase": "Passphr4se"}
    assert list(kwargs) == ["reminder", "passphrase"]
    assert new.lockbox.encrypted and new.lockbox.encrypt_calls == [("Passw0rdX", "Passphr4se")]
    assert provider.session.user is new
    assert log_lines("velna.user")[-1] == (logging.INFO, "<User %s> has been created." % UID)


def test_a_failed_registration_is_logged_and_raised_unchanged(provider, caplog):
    caplog.set_level(logging.INFO)
    error = OSError("server down")
    provider.failures["user.create"] = error
    with pytest.raises(OSError) as info:
        user.create("Passw0rdX", "r", "Passphr4se")
    assert info.value is error
    record = caplog.records[-1]
    assert (record.levelno, record.getMessage(), record.exc_info[1]) == (logging.ERROR, "Failed to create user.", error)
    assert "login" not in provider.names()


@pytest.mark.parametrize("failing, line, error", [
    ("lockbox.update_or_create", "Failed to create user key file.", OSError("disk full")),
    ("encrypt", "Failed to create user key file.", OSError("disk full")),
    # any kind of failure, an interruption too, leaves no half-made user
    ("lockbox.update_or_create", "Failed to create user key file.", KeyboardInterrupt()),
])
def test_a_failure_after_login_deletes_the_user_logs_out_and_raises_it(provider, caplog, failing, line, error):
    caplog.set_level(logging.INFO)
    if failing == "encrypt":
        def registered(**kw):
            lockbox = KeyFile()
            lockbox.encrypt = lambda **k: (_ for _ in ()).throw(error)
            return user.User(UID, lockbox)
        provider.results["user.create"] = registered
    else:
        provider.failures[failing] = error
    with pytest.raises(type(error)) as info:
        user.create("Passw0rdX", "r", "Passphr4se")
    assert info.value is error
    new = provider.calls[2][2]["user"]
    tail = calls_without_scopes(provider)[-2:]
    assert tail == [("user.delete", (new,), {}), ("logout", (), {})]
    lines = [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "velna.user"]
    assert lines[-3:] == [(logging.ERROR, line), (logging.INFO, "Deleting <User %s>" % UID),
                          (logging.INFO, "Deleted <User %s>" % UID)]
    assert not any("has been created" in m for _, m in lines)


def test_a_failed_login_still_removes_the_registration(provider, log_lines):
    error = RuntimeError("cannot log in")
    provider.failures["login"] = error
    with pytest.raises(RuntimeError) as info:
        user.create("Passw0rdX", "r", "Passphr4se")
    assert info.value is error
    new_user = provider.calls[1]
    assert calls_without_scopes(provider)[-2:][0][0] == "user.delete"
    assert calls_without_scopes(provider)[-1] == ("logout", (), {})
    assert (logging.ERROR, "Failed to log in the new user.") in log_lines("velna.user")
    assert new_user[0] == "user.create"


@pytest.mark.parametrize("cleanup", [OSError("delete failed"), KeyboardInterrupt()], ids=repr)
def test_a_failed_clean_up_is_logged_and_raised_with_the_storage_failure_as_context(provider, caplog, cleanup):
    caplog.set_level(logging.INFO)
    error = OSError("store failed")
    provider.failures["lockbox.update_or_create"] = error
    provider.failures["user.delete"] = cleanup
    with pytest.raises(type(cleanup)) as info:
        user.create("Passw0rdX", "r", "Passphr4se")
    assert info.value is cleanup and cleanup.__context__ is error and error.__context__ is None
    assert error.__traceback__ is not None
    records = [r for r in caplog.records if r.name == "velna.user"]
    stored = [r for r in records if r.getMessage() == "Failed to create user key file."]
    assert len(stored) == 1 and stored[0].exc_info[1] is error
    if isinstance(cleanup, Exception):
        record = records[-1]
        assert record.levelno == logging.ERROR and record.exc_info[1] is cleanup
        assert record.getMessage() == "Failed to remove <User %s> after a failed creation." % UID
        # The logged traceback shows both, as one logged inside the except block would.
        assert "store failed" in caplog.text.split("Failed to remove")[-1]
    else:  # an interruption passes on without a line of its own
        assert records[-1].getMessage() == "Deleting <User %s>" % UID
    assert not any("has been created" in r.getMessage() for r in records)


def test_the_clean_up_never_deletes_another_logged_in_user(provider):
    other = object()
    provider.session.user = other
    provider.results["login"] = None  # the login does not take effect
    provider.failures["lockbox.update_or_create"] = OSError("x")
    with pytest.raises(OSError):
        user.create("Passw0rdX", "r", "Passphr4se")
    deleted = [c for c in provider.calls if c[0] == "user.delete"]
    assert deleted and deleted[0][1][0] is not other


def test_a_handled_failure_reports_nothing_as_created(provider, log_lines):
    provider.handle.add(OSError)
    provider.failures["lockbox.update_or_create"] = OSError("x")
    assert user.create("Passw0rdX", "r", "Passphr4se") is None
    assert not any("has been created" in m for _, m in log_lines("velna.user"))


def test_create_traces_are_masked_and_keep_their_shape(provider, caplog, velna_debug):
    caplog.set_level(logging.DEBUG)
    new = user.create("Passw0rdX", "my hint", passphrase="Passphr4se")
    lines = [r.getMessage() for r in caplog.records if r.levelno == logging.DEBUG and r.name == "velna.user"]
    assert lines == ["create(***,***, {'passphrase': '***'})", "create(...) --> %r" % new]
    assert not any(s in r.getMessage() for r in caplog.records
                   for s in ("Passw0rdX", "my hint", "Passphr4se"))


def test_no_trace_unless_velna_is_at_debug(provider, caplog):
    caplog.set_level(logging.DEBUG)
    user.create("Passw0rdX", "r", "Passphr4se")
    assert not [r for r in caplog.records if r.levelno == logging.DEBUG]


# ---- delete -------------------------------------------------------------------------

def login_as(p, u):
    p.session.user = u


def test_delete_deletes_the_logged_in_user_and_logs_out(provider, log_lines, keys):
    u = user.User(UID, KeyFile())
    login_as(provider, u)
    assert user.delete() is None
    # the login check takes the session in a scope of its own first
    assert provider.calls == [("enter",), ("exit", None), ("session.user",),
                              ("enter",), ("session.user",), ("user.delete", (u,), {}), ("logout", (), {}),
                              ("exit", None)]
    assert log_lines("velna.user") == [(logging.INFO, "Deleting <User %s>" % UID),
                                       (logging.INFO, "Deleted <User %s>" % UID)]


def test_text_forms_that_are_no_utf8_still_make_the_log_lines(provider, log_lines, keys):
    # A provider may identify users by any text; a lone surrogate cannot be
    # encoded, yet the lines carry the user's text form as it is, and every
    # scope entered is left.
    odd = "user-\udcff"
    provider.results["user.create"] = lambda **kw: user.User(odd, KeyFile(user_id=odd))
    made = user.create("Passw0rd1", "hint", "Passphr4se")
    user.delete()
    text = "<User %s>" % odd
    assert [m for _, m in log_lines("velna.user")] == [
        "Creating a new user.", text + " has been created.", "Deleting " + text, "Deleted " + text]
    assert provider.names().count("enter") == provider.names().count("exit")
    assert ("user.delete", (made,), {}) in provider.calls


def test_the_operations_belong_to_the_module():
    for op in (user.create, user.delete, user.get_backup_reminder, user.change_credentials):
        assert op.__module__ == "velna.user"


def test_nobody_logged_in_means_no_delete_and_no_change(provider, log_lines):
    for call in (user.delete, lambda: user.change_credentials("a", "b")):
        with pytest.raises(RuntimeError, match="^Must login!$"):
            call()
    assert [c for c in provider.calls if c[0].startswith("user.")] == []
    assert log_lines("velna.user") == []


def test_a_failed_deletion_skips_logout_and_the_deleted_line(provider, log_lines, keys):
    login_as(provider, user.User(UID, KeyFile()))
    provider.failures["user.delete"] = KeyError("x")
    with pytest.raises(KeyError):
        user.delete()
    assert "logout" not in provider.names()
    assert log_lines("velna.user") == [(logging.INFO, "Deleting <User %s>" % UID)]


# ---- get_backup_reminder --------------------------------------------------------------

@pytest.mark.parametrize("given, logged_in, sent", [
    ("someone", None, "someone"),
    ("not an id", "ignored", "not an id"),
    (None, "me", "me"),
    ("", "me", "me"),
    (0, "me", "me"),
])
def test_get_backup_reminder_sends_the_given_or_the_logged_in_id(provider, keys, given, logged_in, sent):
    if logged_in:
        login_as(provider, types.SimpleNamespace(id=logged_in))
    provider.results["user.get_backup_reminder"] = "hint"
    assert user.get_backup_reminder(given) == "hint"
    assert provider.calls[-2] == ("user.get_backup_reminder", (), {"user_id": sent})
    if given:
        assert ("session.user",) not in provider.calls


def test_a_failing_read_of_the_logged_in_id_passes_on_inside_the_scope(provider):
    class Broken:
        @property
        def id(self):
            raise KeyError("id")

    login_as(provider, Broken())
    with pytest.raises(KeyError):
        user.get_backup_reminder()
    assert isinstance(provider.calls[-1][1], KeyError) and provider.calls[-1][0] == "exit"
    assert not [c for c in provider.calls if c[0].startswith("user.")]


@pytest.mark.parametrize("logged_in", [None, types.SimpleNamespace(id=None), types.SimpleNamespace()])
def test_get_backup_reminder_without_any_id_fails_inside_the_scope(provider, logged_in):
    provider.session.user = logged_in
    with pytest.raises(ValueError, match="^No currently authenticated user, user_id must be provided.$") as info:
        user.get_backup_reminder()
    assert provider.calls[-1] == ("exit", info.value)
    assert "user.get_backup_reminder" not in provider.names()


# ---- change_credentials ------------------------------------------------------------------

def test_change_credentials_hands_everything_to_the_provider(provider, keys):
    login_as(provider, user.User(UID, KeyFile()))
    result = object()
    provider.results["user.change_credentials"] = result
    assert user.change_credentials("weak", "weak") is result
    name, args, kwargs = provider.calls[-2]
    assert name == "user.change_credentials" and args == ()
    assert list(kwargs) == ["password", "passphrase", "reminder", "password_validator", "reminder_validator",
                            "passphrase_validator"]
    assert kwargs["password"] == "weak" and kwargs["reminder"] is None
    assert kwargs["password_validator"] is utils.is_password_valid
    assert kwargs["reminder_validator"] is utils.is_reminder_valid
    assert kwargs["passphrase_validator"] is utils.is_passphrase_valid


def test_change_credentials_traces_are_masked(provider, keys, caplog, velna_debug):
    login_as(provider, user.User(UID, KeyFile()))
    caplog.set_level(logging.DEBUG)
    user.change_credentials("NewPassw0rd", passphrase="NewPassphr4se", reminder="new hint")
    (entry, _) = [r.getMessage() for r in caplog.records if r.levelno == logging.DEBUG and r.name == "velna.user"]
    assert entry == "change_credentials(***, {'passphrase': '***', 'reminder': '***'})"


def test_a_credential_that_is_none_shows_as_none_in_the_trace(provider, keys, caplog, velna_debug):
    login_as(provider, user.User(UID, KeyFile()))
    caplog.set_level(logging.DEBUG)
    user.change_credentials(None, "NewPassphr4se", reminder=None)
    user.change_credentials("NewPassw0rd", passphrase=None)
    entries = [r.getMessage() for r in caplog.records
               if r.levelno == logging.DEBUG and r.name == "velna.user" and "-->" not in r.getMessage()]
    assert entries == ["change_credentials(None,***, {'reminder': None})",
                       "change_credentials(***, {'passphrase': None})"]


def test_handled_failures_make_the_operations_return_nothing(provider, keys):
    login_as(provider, user.User(UID, KeyFile()))
    provider.handle.add(KeyError)
    provider.failures["user.change_credentials"] = KeyError("a")
    provider.failures["user.get_backup_reminder"] = KeyError("b")
    assert user.change_credentials("a", "b") is None
    assert user.get_backup_reminder("x") is None


def test_create_generates_a_fresh_signing_and_derivation_key(monkeypatch):
    import velna.crypto.keys as real_keys

    p = RecordingProvider()
    install(monkeypatch, p)
    p.failures["user.create"] = OSError("stop here")
    with pytest.raises(OSError):
        user.create("Passw0rdX", "r", "Passphr4se")
    given = p.calls[1][2]
    assert isinstance(given["signing_key"], real_keys.AuthKey)
    assert isinstance(given["derivation_key"], real_keys.DerivationKey)
    assert given["signing_key"].type == real_keys.KeyType.AUTH and given["signing_key"].active
    assert given["derivation_key"].type == real_keys.KeyType.DERIVATION
    assert not hasattr(given["signing_key"], "index")


def test_a_user_over_a_real_key_file():
    from velna.crypto.keys import AuthKey, DerivationKey, KeyRing, KeyType
    from velna.crypto.lockbox import Lockbox

    lockbox = Lockbox(signing_key=AuthKey(), derivation_key=DerivationKey(), user_id=UID)
    u = user.User(UID, lockbox)
    assert isinstance(u.keys, KeyRing) and u.keys.user_id == UID
    assert u.keys.get_first_valid(KeyType.AUTH).private is not None
    twin = user.User(UID, Lockbox(signing_key=AuthKey(), derivation_key=DerivationKey(), user_id=UID))
    assert u == twin  # neither key file has stored bytes yet
    lockbox.encrypt(password="Passw0rdX", passphrase="Passphr4se")
    assert u != twin and u.lockbox is lockbox and u.lockbox.encrypted
    with pytest.raises(ValueError, match="^Can only accept decrypted key files.$"):
        user.User(UID, Lockbox(enc_data=lockbox.data))
