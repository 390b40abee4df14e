"""The provider registry: which provider serves the library's operations.

Every operation asks for the provider afresh and uses it as a scope::

    with providers.get() as provider:
        provider.login(...)

Nothing keeps a provider between operations, so installing another one (as
``initialize`` does, or a test does with ``use``) takes effect from the next
operation on.

Which provider serves is chosen from the options of ``portal.initialize``:
with a ``server_url`` the key server's provider (``velna.providers.server``),
otherwise the local store's provider (``velna.providers.zov``), rooted at
``root_dir`` (the working directory by default).
"""
import sys

__all__ = ["Session", "Provider", "Scope", "get", "set_provider", "use", "initialize"]


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

    def initialize(self, api_key, **options):
        """Chooses the provider for these options, makes it the active one and
        initialises it. Every provider initialises this way, so a second
        ``initialize`` may move the library to the other provider."""
        initialize(api_key, **options)


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


# The providers by kind: the module that holds each and its class. One object
# of each kind serves the process; their state lives in their packages.
_KINDS = {
    "server": ("velna.providers.server.provider", "ServerProvider"),
    "local": ("velna.providers.zov.provider", "LocalProvider"),
}
_made = {}


def provider_for(kind):
    """The process's provider of |kind| ("server" or "local"), made on first use."""
    if kind not in _made:
        module, name = _KINDS[kind]
        __import__(module)
        _made[kind] = getattr(sys.modules[module], name)()
    return _made[kind]


def initialize(api_key, **options):
    """Chooses the provider for |options|, makes it active and sets it up.

    A ``server_url`` that is given (not None) chooses the key server's
    provider; otherwise the local store's provider serves. The chosen
    provider becomes active once it is set up; when the set-up fails, the
    provider that was active stays so.
    """
    kind = "server" if options.get("server_url") is not None else "local"
    provider = provider_for(kind)
    provider.setup(api_key, **options)
    set_provider(provider)


def set_provider(provider):
    """Makes ``provider`` the active provider and returns the one it replaces.

    None restores the default provider.
    """
    global _active
    previous = _active
    _active = _default if provider is None else provider
    return previous


def use(provider):
    """Makes ``provider`` active for the ``with`` block, then restores the
    provider that was active before, also when the block fails."""
    import contextlib  # on first use: importing the registry stays cheap

    return contextlib.contextmanager(_using)(provider)


def _using(provider):
    previous = set_provider(provider)
    try:
        yield provider
    finally:
        set_provider(previous)
