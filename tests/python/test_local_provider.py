"""The local provider end to end: accounts in a fresh store root, through
the library's entry functions and account operations."""
import json
import logging
import os
import stat
import types
import uuid

import pytest

pytest.importorskip("velna.crypto.lockbox")
pytest.importorskip("velna.providers.zov.models")

import velna.crypto as crypto  # noqa: E402
import velna.portal as portal  # noqa: E402
import velna.providers as providers  # noqa: E402
import velna.providers.zov as zov  # noqa: E402
import velna.user as user  # noqa: E402
from velna.crypto.aes import DecryptionError  # noqa: E402
from velna.crypto.keys import KeyType  # noqa: E402
from velna.providers.zov import models  # noqa: E402
from velna.providers.zov.provider import KEY_FILE, PUBLIC_KEYS, REMINDER, seed  # noqa: E402

PASSWORD, PASSPHRASE, REMINDER_TEXT = "Passw0rd-One", "A passphrase 1", "my hint"


@pytest.fixture
def root(tmp_path):
    previous = providers.set_provider(None)
    portal.initialize("api-key", fips=False, root_dir=str(tmp_path / "store"))
    yield tmp_path / "store"
    with providers.get() as provider:
        provider.logout()
    providers.set_provider(previous)


@pytest.fixture
def alice(root):
    new = user.create(PASSWORD, REMINDER_TEXT, PASSPHRASE)
    portal.logout()
    return new


def active():
    with providers.get() as provider:
        return provider


def test_initialize_roots_the_store_and_chooses_the_local_provider(root):
    from velna.providers.zov.provider import LocalProvider

    assert isinstance(active(), LocalProvider)
    assert str(zov.client.root) == str(root.resolve())


@pytest.mark.parametrize("options", [{}, {"root_dir": None}])
def test_without_a_root_the_store_is_the_working_directory(tmp_path, monkeypatch, options):
    monkeypatch.chdir(tmp_path)
    previous = providers.set_provider(None)
    try:
        portal.initialize("api-key", fips=False, **options)
        assert str(zov.client.root) == str(tmp_path.resolve())
    finally:
        providers.set_provider(previous)


def test_create_stores_only_sealed_material(root):
    new = user.create(PASSWORD, REMINDER_TEXT, PASSPHRASE)
    assert zov.session.user is new and new.lockbox.encrypted
    stored = zov.client.get(seed=seed(new.id, KEY_FILE))
    assert stored == new.lockbox.data
    assert zov.client.get(seed=seed(new.id, REMINDER)) == REMINDER_TEXT.encode()
    records = json.loads(zov.client.get(seed=seed(new.id, PUBLIC_KEYS)))
    assert [(r["keyType"], r["index"], r["userId"]) for r in records] == [
        ("auth", 0, str(new.id)), ("derivation", 0, str(new.id))]
    everything = b"".join(p.read_bytes() for p in root.rglob("*") if p.is_file())
    for secret in (PASSWORD, PASSPHRASE, crypto.SHA384(PASSWORD)):
        assert secret.encode() not in everything
    private = crypto.to_pem_private(new.keys[KeyType.AUTH][0].private)
    assert private not in everything


def test_the_provider_module_names_a_caller_replaced_make_and_log_the_new_user(root, monkeypatch, caplog):
    import velna.providers.zov.provider as local

    fixed = uuid.UUID(int=0x1234)
    monkeypatch.setattr(local, "uuid", types.SimpleNamespace(uuid4=lambda: fixed))
    monkeypatch.setattr(local, "log", logging.getLogger("velna.tests.local"))
    caplog.set_level(logging.INFO, logger="velna.tests.local")
    new = user.create(PASSWORD, REMINDER_TEXT, PASSPHRASE)
    assert new.id == fixed and zov.client.get(seed=seed(fixed, KEY_FILE)) == new.lockbox.data
    assert [r.getMessage() for r in caplog.records if r.name == "velna.tests.local"] == ["Registered %s" % new]


@pytest.mark.parametrize("credentials", [{"password": PASSWORD}, {"passphrase": PASSPHRASE},
                                         {"password": PASSWORD, "passphrase": "ignored"}])
def test_login_opens_the_key_file(alice, credentials):
    again = portal.login(str(alice.id), **credentials)
    assert again.id == alice.id and zov.session.user is again
    assert not again.lockbox.encrypted
    signing = again.keys[KeyType.AUTH][0]
    assert crypto.to_pem_public(signing.public) == crypto.to_pem_public(alice.keys[KeyType.AUTH][0].public)


@pytest.mark.parametrize("credentials, error", [
    ({"password": "Wrong-Passw0rd"}, DecryptionError),
    ({"passphrase": "wrong passphrase 2"}, DecryptionError),
])
def test_wrong_credentials_leave_nobody_logged_in(alice, credentials, error):
    with pytest.raises(error):
        portal.login(alice.id, **credentials)
    assert zov.session.user is None


def test_an_unknown_user_cannot_log_in(root):
    with pytest.raises(ValueError):
        portal.login(uuid.uuid4(), password=PASSWORD)


def test_logout_clears_the_user_and_the_database_key(alice):
    portal.login(alice.id, password=PASSWORD)
    key = models.get_sa_key()
    portal.logout()
    assert zov.session.user is None
    with pytest.raises(AttributeError):
        models.get_sa_key()  # nobody logged in: nothing cached survived
    del key


def test_each_user_has_its_own_database_under_its_own_key(alice):
    bob = user.create("Passw0rd-Two", "", "Bob passphrase 2")
    bob_key = models.get_sa_key()
    portal.logout()
    portal.login(alice.id, password=PASSWORD)
    assert models.get_sa_key() != bob_key
    db = active().database
    assert db.session.query(models.User).count() == 1
    rows = db.session.query(models.Key).filter_by(user_id=alice.id).all()
    assert sorted(r.key_type for r in rows) == sorted([KeyType.AUTH, KeyType.DERIVATION])


def test_keys_get_gives_another_users_public_ring_and_records_it(alice):
    bob = user.create("Passw0rd-Two", "", "Bob passphrase 2")
    ring = active().keys.get(alice.id)
    assert ring.user_id == alice.id
    assert ring.get_first_valid(KeyType.DERIVATION).private is None
    assert crypto.to_pem_public(ring[KeyType.DERIVATION][0].public) == crypto.to_pem_public(
        alice.keys[KeyType.DERIVATION][0].public)
    rows = active().database.session.query(models.Key).filter_by(user_id=alice.id).all()
    assert len(rows) == 2
    assert bob.id != alice.id


def test_backup_reminder_with_and_without_a_login(alice):
    assert user.get_backup_reminder(alice.id) == REMINDER_TEXT
    portal.login(alice.id, password=PASSWORD)
    assert user.get_backup_reminder() == REMINDER_TEXT


@pytest.mark.parametrize("form", [str, lambda i: str(i).upper(), lambda i: i.hex, lambda i: "{%s}" % i])
def test_every_form_of_an_identifier_that_logs_in_finds_the_reminder_and_keys(alice, form):
    given = form(alice.id)
    assert portal.login(given, password=PASSWORD).id == alice.id
    assert user.get_backup_reminder(given) == REMINDER_TEXT
    assert active().keys.get(given).user_id == alice.id


def test_change_credentials_reseals_the_key_file(alice):
    portal.login(alice.id, password=PASSWORD)
    user.change_credentials("Passw0rd-New", "New passphrase 3", reminder="new hint")
    portal.logout()
    assert user.get_backup_reminder(alice.id) == "new hint"
    for old in ({"password": PASSWORD}, {"passphrase": PASSPHRASE}):
        with pytest.raises(DecryptionError):
            portal.login(alice.id, **old)
    assert portal.login(alice.id, passphrase="New passphrase 3").id == alice.id


def test_a_users_files_are_the_owners_alone_whatever_the_umask(root):
    previous = os.umask(0)
    try:
        new = user.create(PASSWORD, REMINDER_TEXT, PASSPHRASE)
        created = {kind: zov.client.get_file_path(seed=seed(new.id, kind))
                   for kind in (KEY_FILE, REMINDER, PUBLIC_KEYS)}
        modes = {kind: stat.S_IMODE(p.stat().st_mode) for kind, p in created.items()}
        user.change_credentials("Passw0rd-New", "New passphrase 3", reminder="new hint")
    finally:
        os.umask(previous)
    assert modes == {KEY_FILE: 0o600, REMINDER: 0o600, PUBLIC_KEYS: 0o600}
    assert {stat.S_IMODE(p.stat().st_mode) for p in created.values()} == {0o600}
    folders = {p.parents[i] for p in created.values() for i in range(11)}
    assert {stat.S_IMODE(f.stat().st_mode) for f in folders} == {0o700}


def test_change_credentials_applies_the_rules(alice):
    portal.login(alice.id, password=PASSWORD)
    with pytest.raises(ValueError, match="^password does not meet complexity requirements.$"):
        user.change_credentials("weak", "New passphrase 3")
    portal.logout()
    assert portal.login(alice.id, password=PASSWORD).id == alice.id


def test_delete_removes_everything_of_the_user(alice, root):
    portal.login(alice.id, password=PASSWORD)
    user.delete()
    assert zov.session.user is None
    for kind in (KEY_FILE, REMINDER, PUBLIC_KEYS):
        assert not zov.client.get_file_path(seed=seed(alice.id, kind)).exists()
    from velna.providers.zov import database

    assert not database.get_file_path(alice.id).exists()
    with pytest.raises(ValueError):
        portal.login(alice.id, password=PASSWORD)


def test_a_failed_store_removes_the_new_user(root, monkeypatch, caplog):
    caplog.set_level(logging.INFO)
    made = []
    real_create = active().user.create

    def create(**keys):
        made.append(real_create(**keys))
        return made[-1]

    monkeypatch.setattr(active().user, "create", create)
    monkeypatch.setattr(active().lockbox, "update_or_create", lambda *a, **k: (_ for _ in ()).throw(OSError("full")))
    with pytest.raises(OSError, match="full"):
        user.create(PASSWORD, REMINDER_TEXT, PASSPHRASE)
    assert zov.session.user is None
    assert not zov.client.get_file_path(seed=seed(made[0].id, PUBLIC_KEYS)).exists()


def test_a_failed_removal_after_a_failed_store_passes_on_with_the_store_failure_as_context(root, caplog):
    from velna.providers.zov.provider import LocalProvider, Lockboxes, Users

    stored, removal = OSError(28, "No space left on device"), PermissionError(13, "Permission denied")

    class FullDisk(Lockboxes):
        def update_or_create(self, lockbox, reminder=None, passphrase=None):
            raise stored

    class StuckFiles(Users):
        def delete(self, user):
            raise removal

    class FailingStore(LocalProvider):
        def __init__(self):
            super().__init__()
            self.user, self.lockbox = StuckFiles(self), FullDisk(self)

    caplog.set_level(logging.INFO)
    with providers.use(FailingStore()):
        with pytest.raises(PermissionError) as info:
            user.create(PASSWORD, REMINDER_TEXT, PASSPHRASE)
    assert info.value is removal and removal.__context__ is stored
    new = zov.session.user  # the removal failed: still registered and logged in
    assert zov.client.get_file_path(seed=seed(new.id, PUBLIC_KEYS)).exists()
    lines = [(r.levelno, r.getMessage(), r.exc_info and r.exc_info[1]) for r in caplog.records if r.name == "velna.user"]
    assert lines[-3:] == [(logging.ERROR, "Failed to create user key file.", stored),
                          (logging.INFO, "Deleting <User %s>" % new.id, None),
                          (logging.ERROR, "Failed to remove <User %s> after a failed creation." % new.id, removal)]
