"""velna.portal: initialize, login and logout over the provider registry."""
import logging
import uuid

import pytest

import velna.crypto as crypto
import velna.portal as portal
import velna.providers as providers
from recording import RecordingProvider, install

FIPS_FAILED = "Unable to enable FIPS.  Check OpenSSL install and library linkage."
NO_CREDENTIAL = 'One of "password" or "passphrase" must be provided.'
BAD_ID = "user_id must be a UUID string."
UID = uuid.UUID("5f1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d")


@pytest.fixture
def provider():
    p = RecordingProvider()
    with providers.use(p):
        yield p


@pytest.fixture
def fips_calls(monkeypatch):
    calls = []
    monkeypatch.setattr(crypto, "enable_fips", lambda: calls.append(1))
    return calls


def test_load_time_bindings():
    import velna.utils as utils

    assert portal.providers_get is providers.get
    assert portal.UUID is utils.UUID
    assert portal.crypto is crypto
    assert portal.log is logging.getLogger("velna")


@pytest.mark.parametrize("fips, switched", [
    (False, False), (None, False), (0, False), ("", False),
    (True, True), ("no", True), (1, True),
])
def test_initialize_calls_the_switch_only_for_a_true_fips(provider, fips_calls, fips, switched):
    portal.initialize("key", fips=fips, app_name="app")
    assert fips_calls == ([1] if switched else [])
    assert provider.calls == [("initialize", ("key",), {"app_name": "app"})]


def test_initialize_hands_the_key_by_position_and_every_option_unchanged(provider, fips_calls):
    marker = object()
    portal.initialize(api_key=marker, fips=True, app_name="a", server_url="http://x", root_dir="/r", other=7)
    assert provider.calls == [("initialize", (marker,),
                               {"app_name": "a", "server_url": "http://x", "root_dir": "/r", "other": 7})]
    assert provider.calls[0][1][0] is marker


def test_initialize_repeats_every_step(provider, fips_calls, log_lines):
    portal.initialize("k")
    portal.initialize("k")
    assert len(fips_calls) == 2 and provider.names() == ["initialize", "initialize"]
    assert log_lines("velna") == [(logging.INFO, "Initializing the Velna library.")] * 2


def test_a_refused_fips_switch_logs_after_the_info_line_and_leaves_the_provider_alone(provider, log_lines):
    # Debian's OpenSSL has no FIPS provider: the real switch fails its assertion.
    with pytest.raises(RuntimeError) as info:
        portal.initialize("key")
    assert str(info.value) == FIPS_FAILED
    assert isinstance(info.value.__context__, AssertionError)
    assert log_lines("velna") == [(logging.INFO, "Initializing the Velna library."),
                                  (logging.ERROR, FIPS_FAILED)]
    assert provider.calls == []


def test_other_failures_of_the_switch_pass_unchanged_and_unlogged(provider, monkeypatch, log_lines):
    error = AttributeError("no FIPS_mode_set")

    def fail():
        raise error

    monkeypatch.setattr(crypto, "enable_fips", fail)
    with pytest.raises(AttributeError) as info:
        portal.initialize("key")
    assert info.value is error
    assert log_lines("velna") == [(logging.INFO, "Initializing the Velna library.")]
    assert provider.calls == []


def test_the_switch_and_the_registry_are_looked_up_at_each_call(monkeypatch, fips_calls):
    p = RecordingProvider()
    registry = install(monkeypatch, p)
    portal.initialize("k", fips=False)
    assert registry.gets == 1
    assert [c[0] for c in p.calls] == ["enter", "initialize", "exit"]


@pytest.mark.parametrize("kwargs, sent", [
    ({"password": "pw"}, ("pw", None)),
    ({"passphrase": "pp"}, (None, "pp")),
    ({"password": "", "passphrase": None}, ("", None)),
    ({"password": "a", "passphrase": "b"}, ("a", "b")),
])
def test_login_hands_over_the_credentials_unchanged(provider, kwargs, sent):
    provider.results["login"] = "the user"
    assert portal.login(UID, **kwargs) == "the user"
    name, args, kw = provider.calls[0]
    assert name == "login" and args == (UID,) and args[0] is UID
    assert list(kw) == ["password", "passphrase"] and (kw["password"], kw["passphrase"]) == sent


def test_login_parses_text_identifiers(provider):
    portal.login(str(UID), password="x")
    (arg,) = provider.calls[0][1]
    assert isinstance(arg, uuid.UUID) and arg == UID


def test_login_without_credentials_warns_before_looking_at_the_identifier(provider, log_lines):
    with pytest.raises(ValueError) as info:
        portal.login("not an identifier")
    assert str(info.value) == NO_CREDENTIAL
    assert log_lines("velna") == [(logging.WARNING, NO_CREDENTIAL)]
    assert provider.calls == []


@pytest.mark.parametrize("user_id", [None, "not-a-uuid", ""])
def test_login_with_a_bad_identifier_logs_the_failure_and_raises_anew(provider, caplog, user_id):
    caplog.set_level(logging.DEBUG)
    with pytest.raises(ValueError) as info:
        portal.login(user_id, password="x")
    assert str(info.value) == BAD_ID
    assert isinstance(info.value.__context__, ValueError) and info.value.__cause__ is None
    assert not info.value.__suppress_context__
    (record,) = [r for r in caplog.records if r.name == "velna"]
    assert (record.levelno, record.getMessage()) == (logging.ERROR, BAD_ID)
    assert record.exc_info[1] is info.value.__context__
    assert provider.calls == []


def test_login_lets_other_coercion_failures_pass(provider):
    with pytest.raises(TypeError):
        portal.login(b"0123456789abcdef", password="x")
    assert provider.calls == []


def test_login_passes_provider_failures_unchanged_and_unlogged(provider, log_lines):
    error = ValueError("wrong password")
    provider.failures["login"] = error
    with pytest.raises(ValueError) as info:
        portal.login(UID, password="x")
    assert info.value is error
    assert log_lines("velna") == []


def test_logout_hands_over_exactly_its_arguments(provider):
    portal.logout()
    portal.logout(1, everywhere=True)
    assert provider.calls == [("logout", (), {}), ("logout", (1,), {"everywhere": True})]


def test_a_failure_leaves_the_scope_and_passes_on(monkeypatch):
    p = RecordingProvider()
    install(monkeypatch, p)
    error = KeyError("gone")
    p.failures["logout"] = error
    with pytest.raises(KeyError) as info:
        portal.logout()
    assert info.value is error
    assert p.calls[-1] == ("exit", error)


def test_a_failure_the_scope_handles_ends_the_call_quietly(monkeypatch):
    p = RecordingProvider()
    install(monkeypatch, p)
    p.handle.add(ValueError)
    p.failures["login"] = ValueError("x")
    p.failures["initialize"] = ValueError("y")
    assert portal.login(UID, password="x") is None
    assert portal.initialize("k", fips=False) is None


def test_a_failure_of_leaving_carries_the_operation_failure_as_context(monkeypatch):
    error = KeyError("inner")

    class Scope:
        def __enter__(self):
            return self

        def __exit__(self, *exc):
            raise OSError("leaving failed")

        def logout(self):
            raise error

    monkeypatch.setattr(portal, "providers_get", Scope)
    with pytest.raises(OSError) as info:
        portal.logout()
    assert info.value.__context__ is error


def test_an_object_that_is_no_scope_is_refused(monkeypatch):
    monkeypatch.setattr(portal, "providers_get", lambda: object())
    with pytest.raises(TypeError, match="context manager protocol"):
        portal.logout()
