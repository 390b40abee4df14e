"""A provider that records every call the library makes on it.

Installed through the registry (``providers.use``), it stands in for the
local and server providers in the tests of the entry functions and the
account operations. ``calls`` lists ("name", args, kwargs) in call order;
scope entries and exits are recorded as ("enter",) and ("exit", exc).
``results`` and ``failures`` set what a named call returns or raises.
"""
import velna.providers as providers


class _Part:
    def __init__(self, owner, prefix):
        self._owner, self._prefix = owner, prefix

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        return self._owner._method(self._prefix + name)


class RecordingSession:
    def __init__(self, owner):
        self.__dict__["_owner"] = owner
        self.__dict__["user"] = None

    def __getattribute__(self, name):
        if name == "user":
            object.__getattribute__(self, "_owner").calls.append(("session.user",))
        return object.__getattribute__(self, name)


class RecordingProvider:
    def __init__(self):
        self.calls = []
        self.results = {}
        self.failures = {}
        self.handle = set()  # kinds of failure that leaving a scope handles
        self.session = RecordingSession(self)
        self.user = _Part(self, "user.")
        self.lockbox = _Part(self, "lockbox.")

    def _method(self, name):
        def call(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            if name in self.failures:
                raise self.failures[name]
            result = self.results.get(name)
            return result(*args, **kwargs) if callable(result) else result

        return call

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        return self._method(name)

    def names(self):
        return [c[0] for c in self.calls]

    def scope(self):
        owner = self

        class Scope:
            def __enter__(self):
                owner.calls.append(("enter",))
                return owner

            def __exit__(self, exc_type, exc, tb):
                owner.calls.append(("exit", exc))
                return exc_type is not None and issubclass(exc_type, tuple(owner.handle))

        return Scope()


class RecordingRegistry:
    """Stands in for velna.providers.get: every call gives a recorded scope."""

    def __init__(self, provider):
        self.provider = provider
        self.gets = 0

    def __call__(self):
        self.gets += 1
        return self.provider.scope()


def install(monkeypatch, provider):
    """Makes |provider| the one the registry yields, recording its scopes,
    also for the entry functions, which hold the registry's get by value."""
    import velna.portal as portal

    registry = RecordingRegistry(provider)
    monkeypatch.setattr(providers, "get", registry)
    monkeypatch.setattr(portal, "providers_get", registry)
    return registry
