"""The provider registry: which provider serves the library's operations.

Every operation asks for the provider afresh and uses it as a scope::

    with providers.get() as provider:
        provider.login(...)

Nothing keeps a provider between operations, so installing another one (as
``portal.initialize`` does once the server and local providers exist, or a
test does with ``use``) takes effect from the next operation on.
"""
import contextlib

__all__ = ["Session", "Provider", "Scope", "get", "set_provider", "use"]


class Session:
    """Login state of a provider: ``user`` is the logged-in user, or None."""

    def __init__(self):
        self.user = None


class Provider:
    """A provider that only knows who is logged in.

    It is active until another provider is installed; the operations that
    need a real provider (``initialize``, ``login``, ...) do not exist on it.
    """

    def __init__(self):
        self.session = Session()


class Scope:
    """One use of the active provider.

    Entering yields the provider that is active at that moment. Leaving ends
    the use; it is told the failure that ended the scope, if any, and never
    suppresses it. Scopes nest, and one scope object may be entered again
    while it is open (each exit closes the innermost entry).
    """

    __slots__ = ("_open",)

    def __init__(self):
        self._open = []

    def __enter__(self):
        provider = _active
        self._open.append(provider)
        return provider

    def __exit__(self, exc_type, exc, tb):
        self._open.pop()
        return False


_default = Provider()
_active = _default


def get():
    """Returns a scope that yields the active provider when entered."""
    return Scope()


def set_provider(provider):
    """Makes ``provider`` the active provider and returns the one it replaces.

    None restores the default provider.
    """
    global _active
    previous = _active
    _active = _default if provider is None else provider
    return previous


@contextlib.contextmanager
def use(provider):
    """Makes ``provider`` active for the ``with`` block, then restores the
    provider that was active before, also when the block fails."""
    previous = set_provider(provider)
    try:
        yield provider
    finally:
        set_provider(previous)
