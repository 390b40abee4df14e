"""Every operation that enters the provider registry holds its scope as a
with statement does, whichever module it lives in: the entry functions,
the account operations, the login check, the access entry's key blob and
the container's creator stamp. Each case runs all of them against one
scope; the last column of the table says what each gives back when the
scope reports a failure as handled.
"""
import sys
import types
import uuid

import pytest

import velna.decorators as decorators
import velna.portal as portal
import velna.providers as providers
import velna.user as user
from velna.access import Access
from velna.crypto.container import Container, ContainerKeys


class Failing:
    """A provider whose every attribute read raises |failure|."""

    def __init__(self, failure):
        object.__setattr__(self, "_failure", failure)

    def __getattribute__(self, name):
        raise object.__getattribute__(self, "_failure")


def access_key_blob():
    entry = Access(str(uuid.uuid4()))
    entry.container = types.SimpleNamespace(id=uuid.uuid4(), container_keys=ContainerKeys())
    return entry.key_blob


def new_container():
    return Container(header={"a": 1}, content=b"xyz").created_by


called = []

# (name, operation, what it gives when the scope handled the failure:
#  a value, or the exception class it raises then)
OPERATIONS = [
    ("portal.initialize", lambda: portal.initialize("key", fips=False), None),
    ("portal.login", lambda: portal.login(str(uuid.uuid4()), password="pw"), None),
    ("portal.logout", lambda: portal.logout(), None),
    ("user.create", lambda: user.create("Passw0rdX", "r", "Passphr4se"), None),
    ("user.get_backup_reminder", lambda: user.get_backup_reminder("someone"), None),
    ("login_required", lambda: decorators.login_required()(lambda: called.append(1))(),
     RuntimeError),
    ("Access.key_blob", access_key_blob, None),
    ("Container", new_container, None),
]
IDS = [name for name, _, _ in OPERATIONS]


@pytest.fixture
def scope(monkeypatch):
    """Installs one scope class as the registry for every caller; returns a
    namespace that sets how it leaves and records what it was told."""
    state = types.SimpleNamespace(failure=LookupError("inside"), answer=False, leave_with=None,
                                  entered=0, told=[], handling=[])

    class Scope:
        def __enter__(self):
            state.entered += 1
            return Failing(state.failure)

        def __exit__(self, exc_type, exc, tb):
            state.told.append((exc_type, exc, tb))
            state.handling.append(sys.exc_info()[1])
            if state.leave_with is not None:
                raise state.leave_with
            return state.answer

    monkeypatch.setattr(providers, "get", Scope)
    monkeypatch.setattr(portal, "providers_get", Scope)
    called.clear()
    return state


@pytest.mark.parametrize("name, operation, handled", OPERATIONS, ids=IDS)
def test_a_failure_inside_is_told_to_exit_while_handled_and_passes_on(scope, name, operation,
                                                                      handled):
    with pytest.raises(LookupError) as info:
        operation()
    assert info.value is scope.failure
    assert scope.entered == 1
    (exc_type, exc, tb), = scope.told
    assert exc_type is LookupError and exc is scope.failure and tb is not None
    assert scope.handling == [scope.failure]
    assert called == []


@pytest.mark.parametrize("name, operation, handled", OPERATIONS, ids=IDS)
def test_a_failure_the_scope_handles_ends_the_scope_quietly(scope, name, operation, handled):
    scope.answer = 1  # any true answer
    if isinstance(handled, type):
        with pytest.raises(handled) as info:
            operation()
        assert info.value.__context__ is scope.failure
    else:
        assert operation() is handled
    assert scope.entered == 1 and len(scope.told) == 1
    assert called == []


@pytest.mark.parametrize("name, operation, handled", OPERATIONS, ids=IDS)
def test_what_leaving_raises_replaces_the_failure_which_becomes_its_context(scope, name,
                                                                            operation, handled):
    scope.leave_with = OSError("leaving failed")
    with pytest.raises(OSError) as info:
        operation()
    assert info.value is scope.leave_with
    assert info.value.__context__ is scope.failure
    assert not info.value.__suppress_context__


@pytest.mark.parametrize("name, operation, handled", OPERATIONS, ids=IDS)
@pytest.mark.parametrize("missing, message", [
    ("__enter__", "does not support the context manager protocol$"),
    ("__exit__", r"does not support the context manager protocol \(missed __exit__ method\)$"),
])
def test_the_protocol_is_looked_up_on_the_scope_class(monkeypatch, name, operation, handled,
                                                       missing, message):
    entered = []

    class Scope:
        def __init__(self):
            # Found on the instance only: a with statement does not look there.
            self.__enter__ = lambda: entered.append(1)
            self.__exit__ = lambda *exc: entered.append(2)

    present = {"__enter__": lambda self: entered.append(1),
               "__exit__": lambda self, *exc: entered.append(2)}
    del present[missing]
    for method_name, method in present.items():
        setattr(Scope, method_name, method)
    monkeypatch.setattr(providers, "get", Scope)
    monkeypatch.setattr(portal, "providers_get", Scope)
    with pytest.raises(TypeError, match="'Scope' object " + message):
        operation()
    assert entered == []
