"""The provider registry (velna.providers) and the server provider package."""
import pytest

import velna.providers as providers
import velna.providers.server as server


class FakeProvider:
    def __init__(self, user=None):
        self.session = providers.Session()
        self.session.user = user


@pytest.fixture
def fake():
    provider = FakeProvider("someone")
    previous = providers.set_provider(provider)
    yield provider
    providers.set_provider(previous)


def test_the_default_provider_has_a_session_without_user():
    with providers.get() as provider:
        assert isinstance(provider, providers.Provider)
        assert provider.session.user is None


def test_the_default_session_user_is_settable():
    with providers.get() as provider:
        provider.session.user = "someone"
    try:
        with providers.get() as again:
            assert again is provider and again.session.user == "someone"
    finally:
        provider.session.user = None


def test_get_takes_no_arguments():
    with pytest.raises(TypeError):
        providers.get(1)


def test_each_get_is_a_new_scope_yielding_the_active_provider(fake):
    a, b = providers.get(), providers.get()
    assert a is not b
    with a as pa, b as pb:
        assert pa is fake and pb is fake


def test_an_installed_provider_takes_effect_at_the_next_enter(fake):
    scope = providers.get()
    other = FakeProvider()
    providers.set_provider(other)
    with scope as provider:
        assert provider is other


def test_scopes_nest(fake):
    with providers.get() as outer:
        with providers.get() as inner:
            with providers.get() as innermost:
                assert outer is inner is innermost is fake


def test_one_scope_object_can_be_entered_again_while_open(fake):
    scope = providers.get()
    with scope as first:
        with scope as second:
            assert first is second is fake
        with scope as third:
            assert third is fake
    with scope as later:
        assert later is fake


def test_leaving_a_scope_never_handles_a_failure(fake):
    error = KeyError("x")
    with pytest.raises(KeyError) as info:
        with providers.get():
            raise error
    assert info.value is error


def test_exit_is_told_the_failure_and_answers_not_handled(fake):
    scope = providers.get()
    assert scope.__enter__() is fake
    error = ValueError("boom")
    assert not scope.__exit__(ValueError, error, None)
    assert scope.__enter__() is fake
    assert not scope.__exit__(None, None, None)


def test_a_failure_in_a_nested_scope_passes_through_the_outer_one(fake):
    error = RuntimeError("inner")
    with pytest.raises(RuntimeError) as info:
        with providers.get():
            with providers.get():
                raise error
    assert info.value is error


def test_set_provider_returns_the_previous_one_and_none_restores_the_default():
    with providers.get() as default:
        pass
    first = FakeProvider()
    assert providers.set_provider(first) is default
    second = FakeProvider()
    assert providers.set_provider(second) is first
    assert providers.set_provider(None) is second
    with providers.get() as provider:
        assert provider is default


def test_use_installs_a_provider_for_a_block_and_restores_it():
    with providers.get() as before:
        pass
    provider = FakeProvider()
    with providers.use(provider) as given:
        assert given is provider
        with providers.get() as active:
            assert active is provider
    with providers.get() as after:
        assert after is before


def test_use_restores_the_provider_when_the_block_fails():
    with providers.get() as before:
        pass
    with pytest.raises(OSError):
        with providers.use(FakeProvider()):
            raise OSError()
    with providers.get() as after:
        assert after is before


def test_uses_nest():
    a, b = FakeProvider(), FakeProvider()
    with providers.use(a):
        with providers.use(b):
            with providers.get() as p:
                assert p is b
        with providers.get() as p:
            assert p is a


def test_server_package_exposes_a_session_object_with_a_user():
    assert server.session.user is None
    assert not isinstance(server.session, type(server))  # an object, not a module
    server.session.user = "u"
    try:
        assert server.session.user == "u"
    finally:
        server.session.user = None


def test_server_package_is_a_subpackage_of_the_registry():
    assert providers.server is server
