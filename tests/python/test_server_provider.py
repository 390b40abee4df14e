"""The server provider against the test key server on 127.0.0.1."""
import base64
import json
import uuid

import pytest

pytest.importorskip("velna.crypto.lockbox")
pytest.importorskip("velna.providers.server.client")
keyserver_fixture = pytest.importorskip("keyserver_fixture")

import velna.crypto as crypto  # noqa: E402
import velna.portal as portal  # noqa: E402
import velna.providers as providers  # noqa: E402
import velna.user as user  # noqa: E402
from velna.crypto.aes import DecryptionError  # noqa: E402
from velna.crypto.keys import KeyType  # noqa: E402
from velna.providers.server.http import HTTPError, Timeout  # noqa: E402
from conftest import run_python  # noqa: E402
from server_helpers import secrets_seen_by, shown, sleeps  # noqa: E402,F401

PASSWORD, PASSPHRASE, REMINDER_TEXT = "Passw0rd-One", "A passphrase 1", "my hint"


@pytest.fixture
def server(keyserver, tmp_path):
    previous = providers.set_provider(None)
    portal.initialize(keyserver.api_key, fips=False, server_url=keyserver.url)
    yield keyserver
    with providers.get() as provider:
        provider.logout()
    providers.set_provider(previous)


@pytest.fixture
def alice(server):
    new = user.create(PASSWORD, REMINDER_TEXT, PASSPHRASE)
    portal.logout()
    return new


def active():
    with providers.get() as provider:
        return provider


def test_initialize_with_a_server_url_chooses_the_server_provider(server):
    from velna.providers.server.provider import ServerProvider

    assert isinstance(active(), ServerProvider)


def test_a_process_on_the_key_server_never_loads_the_local_provider(keyserver):
    # Registration, a login, a change of credentials and the deletion of the
    # account all run on the server provider's own module and the shared one;
    # the local provider's module stays unloaded.
    code = (
        "import sys\n"
        "import velna.portal as portal, velna.user as user\n"
        "portal.initialize(%r, fips=False, server_url=%r)\n"
        "new = user.create(%r, 'hint', %r)\n"
        "portal.logout()\n"
        "portal.login(new.id, password=%r)\n"
        "user.change_credentials('Passw0rd-New', 'New passphrase 3')\n"
        "user.delete()\n"
        "print(sorted(m for m in sys.modules if m.startswith('velna.providers.')"
        " and m.endswith('provider')))\n"
    ) % (keyserver.api_key, keyserver.url, PASSWORD, PASSPHRASE, PASSWORD)
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == "['velna.providers.server.provider']"


def test_the_server_never_sees_a_password_or_passphrase(server):
    new = user.create(PASSWORD, REMINDER_TEXT, PASSPHRASE)
    portal.logout()
    portal.login(new.id, password=PASSWORD)
    portal.login(new.id, passphrase=PASSPHRASE)
    seen = json.dumps(server.requests())
    for secret in (PASSWORD, PASSPHRASE, crypto.SHA384(PASSWORD), crypto.SHA384(PASSPHRASE)):
        assert secret not in seen
    private = crypto.to_pem_private(new.keys[KeyType.AUTH][0].private).decode()
    assert private.split("\n")[1] not in seen
    (stored,) = [r for r in server.requests("lockbox") if r["method"] == "PUT"]
    assert base64.b64decode(json.loads(stored["body"])["keyFile"]) == new.lockbox.data


def test_debug_lines_show_no_credential_and_no_verifier(server, shown):
    new = user.create(PASSWORD, REMINDER_TEXT, PASSPHRASE)
    user.change_credentials("Passw0rd-Two", "Passphrase two 2")
    portal.logout()
    portal.login(new.id, password="Passw0rd-Two")
    portal.login(new.id, passphrase="Passphrase two 2")
    assert "lockbox/fetch" in shown.text()  # the requests were traced
    verifiers = [v for r in server.requests("lockbox") if r["method"] == "PUT"
                 for v in json.loads(r["body"])["verification"].values()]
    assert len(verifiers) == 4
    secrets = [PASSWORD, PASSPHRASE, "Passw0rd-Two", "Passphrase two 2", crypto.SHA384(PASSWORD)] + verifiers
    assert shown.revealed(set(secrets) | secrets_seen_by(server)) == []


@pytest.mark.parametrize("credentials", [{"passphrase": PASSPHRASE}, {"password": PASSWORD},
                                         {"password": PASSWORD, "passphrase": PASSPHRASE}])
def test_login_fetches_and_opens_the_key_file(alice, credentials):
    again = portal.login(alice.id, **credentials)
    assert again.id == alice.id and active().session.user is again
    assert crypto.to_pem_public(again.keys[KeyType.AUTH][0].public) == crypto.to_pem_public(
        alice.keys[KeyType.AUTH][0].public)


def test_the_two_verifiers_stored_with_the_key_file_are_distinct(alice, server):
    (body,) = [json.loads(r["body"]) for r in server.requests("lockbox") if r["method"] == "PUT"]
    stored = body["verification"]
    assert stored["passphrase"] and stored["password"]
    assert stored["passphrase"] != stored["password"]
    # The password's hash text, as the rescue portion gives it back, stands for the password.
    from velna.providers.server.provider import password_verifier

    assert password_verifier(alice.id, crypto.SHA384(PASSWORD)) == stored["password"]
    assert password_verifier(alice.id, PASSWORD) == stored["password"]


@pytest.mark.parametrize("credentials", [{"passphrase": "Wrong passphrase 2"}, {"password": "Wrong-Passw0rd"},
                                         {"password": crypto.SHA384(PASSWORD)[:-1] + "0"}])
def test_a_wrong_credential_alone_does_not_fetch_the_key_file(alice, server, credentials):
    from velna.providers.server.http import HTTPError

    with pytest.raises(HTTPError, match="403"):
        portal.login(alice.id, **credentials)
    assert active().session.user is None
    assert [r["status"] for r in server.requests("lockbox/fetch")] == [403]


def test_a_wrong_password_fails_after_the_fetch(alice):
    with pytest.raises(DecryptionError):
        portal.login(alice.id, password="Wrong-Passw0rd", passphrase=PASSPHRASE)
    assert active().session.user is None


def test_deleting_a_user_who_is_not_logged_in_removes_nobody(alice, server):
    bob = user.create("Passw0rd-Two", "", "Bob passphrase 2")
    with providers.get() as provider:
        with pytest.raises(ValueError, match="is not logged in"):
            provider.user.delete(alice)  # while bob is logged in
        provider.logout()
        with pytest.raises(ValueError, match="is not logged in"):
            provider.user.delete(alice)  # while nobody is
    assert server.requests("account") == []
    assert portal.login(bob.id, password="Passw0rd-Two").id == bob.id
    assert portal.login(alice.id, password=PASSWORD).id == alice.id


def test_reminder_keys_change_and_delete(alice, server):
    assert user.get_backup_reminder(alice.id) == REMINDER_TEXT
    assert user.get_backup_reminder(str(alice.id).upper()) == REMINDER_TEXT
    bob = user.create("Passw0rd-Two", "", "Bob passphrase 2")
    ring = active().keys.get(alice.id.hex)
    assert ring.user_id == alice.id and ring.get_first_valid(KeyType.DERIVATION).private is None
    user.change_credentials("Passw0rd-New", "New passphrase 3", reminder="new hint")
    portal.logout()
    assert user.get_backup_reminder(bob.id) == "new hint"
    from velna.providers.server.http import HTTPError

    for old in ({"password": "Passw0rd-Two"}, {"passphrase": "Bob passphrase 2"}):
        with pytest.raises(HTTPError, match="403"):
            portal.login(bob.id, **old)
    assert portal.login(bob.id, password="Passw0rd-New").id == bob.id
    assert portal.login(bob.id, passphrase="New passphrase 3").id == bob.id
    user.delete()
    assert active().session.user is None
    with pytest.raises(HTTPError, match="404"):
        portal.login(bob.id, passphrase="New passphrase 3")


def test_a_change_of_credentials_the_server_refuses_leaves_the_user_as_it_was(alice, server):
    from velna.providers.server.http import HTTPError

    me = portal.login(alice.id, password=PASSWORD)
    lockbox, keys = me.lockbox, me.keys
    server.script("lockbox", 400)
    with pytest.raises(HTTPError, match="400"):
        user.change_credentials("Passw0rd-New", "New passphrase 3", reminder="new hint")
    assert me.lockbox is lockbox and me.keys is keys and not me.lockbox.encrypted
    portal.logout()
    assert portal.login(alice.id, password=PASSWORD).id == alice.id


# --- what the failure paths show ------------------------------------------------

# A pre-signed object storage address and one with a password in it.
STORAGE_SECRETS = ["5ignature0f0bject5torage", "T0ken/0f+0bject=5torage", "St0rage-Passw0rd"]
SIGNED_QUERY = "?X-Amz-Credential=AKIDEXAMPLE&X-Amz-Signature=%s&X-Amz-Security-Token=%s" % (
    STORAGE_SECRETS[0], "T0ken%2F0f%2B0bject%3D5torage")


def fails(shown, error, call, *args, **kwargs):
    with pytest.raises(error) as info:
        call(*args, **kwargs)
    shown.add(info.value)


def fetch_with_a_wrong_password(server, alice, shown):
    fails(shown, HTTPError, portal.login, alice.id, password="Wrong-Passw0rd")


def fetch_for_an_unknown_user(server, alice, shown):
    fails(shown, HTTPError, portal.login, uuid.uuid4(), passphrase=PASSPHRASE)


def fetch_answered_400(server, alice, shown):
    server.script("lockbox/fetch", 400)
    fails(shown, HTTPError, portal.login, alice.id, passphrase=PASSPHRASE)


def fetch_timing_out(server, alice, shown):
    session = active().session
    stall, session.stall_timeout = session.stall_timeout, 1
    server.script("lockbox/fetch", {"status": 200, "json": {}, "delay": 3})
    try:
        fails(shown, Timeout, portal.login, alice.id, password=PASSWORD)
    finally:
        session.stall_timeout = stall


def login_refused(server, alice, shown):
    server.script("login", 401)
    fails(shown, HTTPError, portal.login, alice.id, password=PASSWORD)


def login_unavailable_through_every_attempt(server, alice, shown):
    server.script("login", *[503] * 10)
    fails(shown, active().client.HttpServiceUnavailableError, portal.login, alice.id, password=PASSWORD)


def renewal_refused(server, alice, shown):
    portal.login(alice.id, password=PASSWORD)
    session = active().session
    session.expires_at = session.expires_at.replace(year=2000)  # the next request logs in again
    server.script("login", 403)
    fails(shown, HTTPError, active().keys.get, alice.id)


def old_credentials_after_a_change(server, alice, shown):
    portal.login(alice.id, password=PASSWORD)
    user.change_credentials("Passw0rd-Two", "Passphrase two 2")
    portal.logout()
    fails(shown, HTTPError, portal.login, alice.id, password=PASSWORD)
    fails(shown, HTTPError, portal.login, alice.id, passphrase=PASSPHRASE)


def key_file_not_stored(server, alice, shown):
    server.script("lockbox", 400)
    fails(shown, HTTPError, user.create, "Passw0rd-Two", REMINDER_TEXT, "Passphrase two 2")


def object_storage_refusing(server, alice, shown):
    import velna.providers.server.aws as aws
    from keyserver_fixture import closed_port
    from velna.providers.server.http import ConnectionError

    fails(shown, HTTPError, aws.put, server.url + "bucket/blob" + SIGNED_QUERY, b"data")
    nowhere = "http://127.0.0.1:%d/bucket/blob" % closed_port()
    fails(shown, ConnectionError, aws.get, nowhere + SIGNED_QUERY, 0, 99)
    fails(shown, ConnectionError, aws.get, nowhere.replace("//", "//user:%s@" % STORAGE_SECRETS[2]))


# Each path, and a text that shows it was reported with its address masked.
@pytest.mark.parametrize("path, reported", [
    (fetch_with_a_wrong_password, "403 Client Error: Forbidden for url: %slockbox/fetch/?userId="),
    (fetch_for_an_unknown_user, "&verification=***  Request ID: "),
    (fetch_answered_400, "400 Client Error"),
    (fetch_timing_out, "&verification=***)"),
    (login_refused, "401 Client Error: Unauthorized for url: %slogin/?userId="),
    (login_unavailable_through_every_attempt, "Exception making request."),
    (renewal_refused, "&verification=***  Request ID: "),
    (old_credentials_after_a_change, "403 Client Error"),
    (key_file_not_stored, "Failed to create user key file."),
    (object_storage_refusing, "X-Amz-Signature=***&X-Amz-Security-Token=***"),
], ids=lambda v: getattr(v, "__name__", None))
def test_failure_paths_show_no_credential(alice, server, sleeps, shown, path, reported):
    path(server, alice, shown)
    text = shown.text()
    assert reported.replace("%s", server.url + "v1.0/") in text
    secrets = secrets_seen_by(server) | {
        PASSWORD, PASSPHRASE, "Passw0rd-Two", "Passphrase two 2", "Wrong-Passw0rd",
        *STORAGE_SECRETS, *(crypto.SHA384(s) for s in (PASSWORD, PASSPHRASE, "Passw0rd-Two"))}
    assert len(secrets) > 10
    assert shown.revealed(secrets) == []
