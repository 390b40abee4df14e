"""Call tracing (logged) and the login guard (login_required)."""
import copy
import gc
import inspect
import logging
import pickle
import subprocess
import sys
import weakref

import pytest

import velna.decorators as decorators
import velna.providers as providers
import velna.providers.server as server

logged = decorators.logged
login_required = decorators.login_required


class RecordingLog:
    """Stands in for a logger: keeps what debug() is handed, unformatted."""

    def __init__(self):
        self.calls = []

    def debug(self, fmt, *args):
        self.calls.append((fmt, args))

    def lines(self):
        return [fmt % args for fmt, args in self.calls]


@pytest.fixture
def velna_level():
    """Sets the level of the logger "velna" for one test and restores it."""
    logger = logging.getLogger("velna")
    old = logger.level
    yield logger.setLevel
    logger.setLevel(old)


@pytest.fixture
def root_level():
    root = logging.getLogger()
    old = root.level
    yield root.setLevel
    root.setLevel(old)


def add(a, b, k=0):
    """Adds numbers."""
    return a + b + k


# ---- logged ----------------------------------------------------------------


def test_traces_of_add_are_exact_while_velna_is_at_debug(velna_level):
    velna_level(logging.DEBUG)
    log = RecordingLog()
    assert logged(log)(add)(1, 2, k=3) == 6
    assert log.calls == [
        ("%s(%s, %s)", ("add", "1,2", {"k": 3})),
        ("%s(...) --> %s", ("add", 6)),
    ]


def test_entry_and_exit_lines_render_as_documented(velna_level):
    velna_level(logging.DEBUG)
    log = RecordingLog()

    def add(a, b, k):
        return 3

    assert logged(log)(add)(1, 2, k=3) == 3
    assert log.lines() == ["add(1,2, {'k': 3})", "add(...) --> 3"]


def test_traces_reach_a_real_logger_below_velna(velna_level):
    velna_level(logging.DEBUG)
    records = []

    class Keep(logging.Handler):
        def emit(self, record):
            records.append(record)

    logger = logging.getLogger("velna.user")
    handler = Keep()
    logger.addHandler(handler)
    try:
        logged(logger)(add)(1, 2, k=3)
    finally:
        logger.removeHandler(handler)
    assert [(r.name, r.levelno, r.msg, r.getMessage()) for r in records] == [
        ("velna.user", logging.DEBUG, "%s(%s, %s)", "add(1,2, {'k': 3})"),
        ("velna.user", logging.DEBUG, "%s(...) --> %s", "add(...) --> 6"),
    ]


@pytest.mark.parametrize("level", [5, logging.INFO, logging.NOTSET, 11, 9], ids=repr)
def test_no_trace_unless_the_level_set_on_velna_is_exactly_debug(velna_level, level):
    velna_level(level)
    log = RecordingLog()
    assert logged(log)(add)(1, 2) == 3
    assert log.calls == []


def test_root_at_debug_does_not_turn_tracing_on(velna_level, root_level):
    velna_level(logging.NOTSET)
    root_level(logging.DEBUG)
    log = RecordingLog()
    logged(log)(add)(1, 2)
    assert log.calls == []


def test_log_at_debug_with_velna_at_info_does_not_trace(velna_level):
    velna_level(logging.INFO)
    logger = logging.getLogger("velna.test_decorators")
    logger.setLevel(logging.DEBUG)
    try:
        seen = []
        logger.debug = lambda *a: seen.append(a)
        logged(logger)(add)(1, 2)
        assert seen == []
    finally:
        del logger.debug
        logger.setLevel(logging.NOTSET)


def test_the_level_is_read_through_logging_getlogger_at_each_call(velna_level, monkeypatch):
    velna_level(logging.NOTSET)
    names = []
    real = logging.getLogger

    def spy(name=None):
        names.append(name)
        return real(name)

    wrapper = logged(RecordingLog())(add)
    monkeypatch.setattr(logging, "getLogger", spy)
    wrapper(1, 2)
    wrapper(1, 2)
    assert names == ["velna", "velna"]


def test_no_positional_arguments_give_an_empty_text(velna_level):
    velna_level(logging.DEBUG)
    log = RecordingLog()

    def get(type=None):
        return []

    logged(log)(get)(type="container")
    assert log.lines()[0] == "get(, {'type': 'container'})"
    assert log.calls[0][1][1] == ""


def test_positional_arguments_are_joined_by_their_text_forms(velna_level):
    velna_level(logging.DEBUG)
    log = RecordingLog()

    class Thing:
        def __str__(self):
            return "thing"

        def __repr__(self):
            return "not used"

    logged(log)(lambda *a: None)("x y", Thing(), None, b"b", 1.5)
    assert log.calls[0][1][1] == "x y,thing,None,b'b',1.5"


def test_keyword_mapping_is_a_new_dict_handed_over_unrendered(velna_level):
    velna_level(logging.DEBUG)
    log = RecordingLog()
    seen = {}

    def f(**kw):
        seen.update(kw)
        kw["extra"] = 1
        return "r"

    marker = object()
    logged(log)(f)(a=marker, b=2)
    mapping = log.calls[0][1][2]
    assert type(mapping) is dict
    assert mapping == {"a": marker, "b": 2}
    assert mapping["a"] is marker
    assert list(mapping) == ["a", "b"]


def test_arguments_and_result_pass_unchanged(velna_level):
    for level in (logging.DEBUG, logging.NOTSET):
        velna_level(level)
        a, b, result = object(), object(), object()
        seen = []

        def f(*args, **kwargs):
            seen.append((args, kwargs))
            return result

        assert logged(RecordingLog())(f)(a, b, k=a) is result
        (args, kwargs), = seen
        assert args[0] is a and args[1] is b and kwargs == {"k": a} and kwargs["k"] is a


def test_exit_trace_hands_over_the_result_object_itself(velna_level):
    velna_level(logging.DEBUG)
    log = RecordingLog()
    result = ["r"]
    logged(log)(lambda: result)()
    assert log.calls[1][1][1] is result


def test_a_failing_call_writes_only_the_entry_trace(velna_level):
    velna_level(logging.DEBUG)
    log = RecordingLog()
    error = KeyError("boom")

    def fail(x):
        raise error

    with pytest.raises(KeyError) as info:
        logged(log)(fail)(7)
    assert info.value is error
    assert log.lines() == ["fail(7, {})"]


def test_a_failing_call_without_tracing_passes_unchanged(velna_level):
    velna_level(logging.NOTSET)
    error = ValueError("x")

    def fail():
        raise error

    with pytest.raises(ValueError) as info:
        logged(RecordingLog())(fail)()
    assert info.value is error


def test_level_changed_by_f_counts_from_the_next_call(velna_level):
    velna = logging.getLogger("velna")
    log = RecordingLog()

    def switch(level):
        velna.setLevel(level)
        return level

    wrapper = logged(log)(switch)
    velna_level(logging.NOTSET)
    wrapper(logging.DEBUG)  # began untraced: no exit trace
    assert log.calls == []
    wrapper(logging.INFO)  # began traced: both traces
    assert log.lines() == ["switch(20, {})", "switch(...) --> 20"]
    wrapper(logging.DEBUG)  # began untraced again
    assert len(log.calls) == 2


def test_a_positional_argument_that_cannot_be_text_stops_the_call(velna_level):
    velna_level(logging.DEBUG)
    log = RecordingLog()
    called = []

    class Bad:
        def __str__(self):
            raise ArithmeticError("no text")

    with pytest.raises(ArithmeticError):
        logged(log)(lambda x: called.append(x))(Bad())
    assert called == [] and log.calls == []


def test_the_name_of_f_is_read_at_each_trace(velna_level):
    velna_level(logging.DEBUG)
    log = RecordingLog()

    def f():
        f.__name__ = "renamed"
        return 1

    logged(log)(f)()
    assert log.lines() == ["f(, {})", "renamed(...) --> 1"]


def test_with_tracing_off_the_logger_is_not_touched(velna_level):
    velna_level(logging.INFO)

    class Untouchable:
        def __getattribute__(self, name):
            raise AssertionError("logger touched: " + name)

    assert logged(Untouchable())(add)(1, 2) == 3


# ---- identity --------------------------------------------------------------


def annotated(a: int, b: "text" = "x") -> bool:
    """Docs of annotated."""
    return True


annotated.custom = "attribute"


@pytest.mark.parametrize(
    "decorate",
    [lambda f: logged(RecordingLog())(f), lambda f: login_required(server)(f), lambda f: login_required()(f)],
    ids=["logged", "login_required(provider)", "login_required()"],
)
def test_wrappers_take_over_the_identity_of_f(decorate):
    w = decorate(annotated)
    assert w.__name__ == "annotated"
    assert w.__qualname__ == annotated.__qualname__
    assert w.__module__ == annotated.__module__ == __name__
    assert w.__doc__ == "Docs of annotated."
    assert w.__annotations__ is annotated.__annotations__
    assert w.__wrapped__ is annotated
    assert w.custom == "attribute"
    assert w.__dict__["custom"] == "attribute"
    assert inspect.signature(w) == inspect.signature(annotated)
    assert inspect.unwrap(w) is annotated


def test_a_function_without_doc_gives_a_wrapper_without_doc():
    def bare():
        pass

    assert logged(RecordingLog())(bare).__doc__ is None


def test_wrapper_attributes_can_be_set_and_are_its_own():
    def f():
        pass

    w = logged(RecordingLog())(f)
    w.extra = 5
    assert w.extra == 5 and not hasattr(f, "extra")


def test_an_outer_trace_carries_the_name_of_the_operation_inside(velna_level):
    velna_level(logging.DEBUG)
    log = RecordingLog()
    session = type("S", (), {"user": "someone"})()
    provider = type("P", (), {"session": session})()

    def delete(user_id):
        return "done"

    w = logged(log)(login_required(provider)(delete))
    assert w("u") == "done"
    assert log.lines() == ["delete(u, {})", "delete(...) --> done"]
    assert w.__wrapped__.__wrapped__ is delete


def test_factories_and_decorators_take_their_arguments_by_keyword():
    log = RecordingLog()
    assert logged(log=log)(f=add)(1, 2) == 3
    provider = type("P", (), {"session": type("S", (), {"user": 1})()})()
    assert login_required(provider=provider)(f=add)(1, 2) == 3


def test_logged_requires_its_logger():
    with pytest.raises(TypeError):
        logged()


def test_wrapped_methods_bind_to_their_instance(velna_level):
    velna_level(logging.DEBUG)
    log = RecordingLog()

    class Account:
        def __init__(self):
            self.value = 4

        @logged(log)
        def plus(self, n):
            """Adds n."""
            return self.value + n

        @staticmethod
        @logged(log)
        def static(n):
            return n

        @classmethod
        @logged(log)
        def klass(cls, n):
            return cls.__name__

    account = Account()
    assert account.plus(1) == 5
    assert Account.plus(account, 2) == 6
    assert Account.__dict__["plus"].__get__(None, Account) is Account.__dict__["plus"]
    bound = account.plus
    assert bound.__self__ is account and bound(3) == 7
    assert Account.static(9) == 9 and account.static(9) == 9
    assert Account.klass(1) == "Account"
    assert log.calls[0][1][1].endswith(",1")  # self then 1


def test_wrappers_are_collected_with_their_cycles():
    def f():
        return w

    w = logged(RecordingLog())(f)
    f.me = w  # a cycle through the copied attributes and f
    ref = weakref.ref(w)
    del w, f
    gc.collect()
    assert ref() is None


def test_copy_and_pickle_treat_a_wrapper_as_a_function():
    assert copy.copy(module_level_wrapper) is module_level_wrapper
    assert copy.deepcopy(module_level_wrapper) is module_level_wrapper
    assert pickle.loads(pickle.dumps(module_level_wrapper)) is module_level_wrapper


@logged(logging.getLogger("velna.test"))
def module_level_wrapper():
    return 1


def test_wrappers_cannot_be_made_directly():
    with pytest.raises(TypeError):
        decorators._Wrapper()


# ---- login_required --------------------------------------------------------


class Session:
    def __init__(self, user=None):
        self.user = user


class CountingRegistry:
    """Replaces velna.providers.get and records the order of events."""

    def __init__(self, provider, events):
        self.provider = provider
        self.events = events

    def get(self):
        self.events.append("get")
        registry = self

        class Scope:
            def __enter__(self):
                registry.events.append("enter")
                return registry.provider

            def __exit__(self, exc_type, exc, tb):
                registry.events.append(("exit", exc_type))
                return False

        return Scope()


class RecordingProvider:
    def __init__(self, user, events):
        self._session = Session(user)
        self.events = events

    @property
    def session(self):
        self.events.append("session")
        return self._session


@pytest.fixture
def registry(monkeypatch):
    events = []
    provider = RecordingProvider(None, events)
    reg = CountingRegistry(provider, events)
    monkeypatch.setattr(providers, "get", reg.get)
    return provider, events


def test_nobody_logged_in_is_refused_without_calling_f():
    called = []
    provider = type("P", (), {"session": Session(None)})()
    with pytest.raises(RuntimeError) as info:
        login_required(provider)(lambda: called.append(1))()
    assert str(info.value) == "Must login!" and type(info.value) is RuntimeError
    assert called == []


@pytest.mark.parametrize("user", [0, "", [], False, type("Falsy", (), {"__bool__": lambda s: False})()],
                         ids=["0", "empty text", "empty list", "False", "falsy object"])
def test_a_user_that_counts_as_false_passes(user):
    provider = type("P", (), {"session": Session(user)})()
    assert login_required(provider)(add)(1, 2) == 3


def test_a_given_provider_is_read_at_each_call():
    session = Session(None)
    provider = type("P", (), {"session": session})()
    w = login_required(provider)(add)
    with pytest.raises(RuntimeError):
        w(1, 2)
    session.user = "u"
    assert w(1, 2) == 3
    provider.session = Session(None)
    with pytest.raises(RuntimeError):
        w(1, 2)


def test_a_falsy_provider_object_is_still_the_provider(monkeypatch):
    class Falsy:
        session = Session("u")

        def __bool__(self):
            return False

        def __len__(self):
            return 0

    monkeypatch.setattr(providers, "get", lambda: pytest.fail("registry used"))
    assert login_required(Falsy())(add)(1, 2) == 3


def test_a_given_provider_never_touches_the_registry(monkeypatch):
    monkeypatch.setattr(providers, "get", lambda: pytest.fail("registry used"))
    server.session.user = "someone"
    try:
        assert login_required(server)(add)(1, 2) == 3
    finally:
        server.session.user = None
    with pytest.raises(RuntimeError, match="^Must login!$"):
        login_required(provider=server)(add)(1, 2)


def test_the_registry_is_entered_and_left_once_per_call_before_f_runs(registry):
    provider, events = registry
    provider._session.user = "someone"

    def f(x):
        events.append(("f", x))
        return x

    w = login_required()(f)
    assert w(1) == 1
    assert w(2) == 2
    assert events == ["get", "enter", "session", ("exit", None), ("f", 1)] + [
        "get", "enter", "session", ("exit", None), ("f", 2)]


def test_nobody_logged_in_through_the_registry_enters_it_once_and_skips_f(registry):
    provider, events = registry
    with pytest.raises(RuntimeError, match="^Must login!$"):
        login_required()(lambda: events.append("f"))()
    assert events == ["get", "enter", "session", ("exit", None)]


def test_the_user_is_read_after_the_scope_is_left(registry):
    provider, events = registry

    class WatchedSession:
        @property
        def user(self):
            events.append("user")
            return "u"

    provider._session = WatchedSession()
    login_required()(lambda: events.append("f"))()
    assert events == ["get", "enter", "session", ("exit", None), "user", "f"]


def test_a_failing_session_leaves_the_scope_with_that_failure(monkeypatch):
    events = []
    error = LookupError("no session")

    class Broken:
        @property
        def session(self):
            raise error

    reg = CountingRegistry(Broken(), events)
    monkeypatch.setattr(providers, "get", reg.get)
    with pytest.raises(LookupError) as info:
        login_required()(lambda: events.append("f"))()
    assert info.value is error
    assert events == ["get", "enter", ("exit", LookupError)]


def test_the_exit_of_the_scope_is_told_the_failure_itself(monkeypatch):
    told = []

    class Provider:
        @property
        def session(self):
            raise AttributeError("session")

    class Scope:
        def __enter__(self):
            return Provider()

        def __exit__(self, *exc):
            told.append(exc)
            return None

    monkeypatch.setattr(providers, "get", Scope)
    with pytest.raises(AttributeError) as info:
        login_required()(add)(1, 2)
    (exc_type, exc, tb), = told
    assert exc_type is AttributeError and exc is info.value
    while tb.tb_next:
        tb = tb.tb_next
    assert tb.tb_frame.f_code.co_name == "session"


def test_a_scope_that_handles_the_failure_still_refuses_the_call(monkeypatch):
    called = []

    class Swallowing:
        def __enter__(self):
            return object()

        def __exit__(self, *exc):
            return True

    monkeypatch.setattr(providers, "get", Swallowing)
    with pytest.raises(RuntimeError, match="^Must login!$") as info:
        login_required()(lambda: called.append(1))()
    assert called == []
    assert isinstance(info.value.__context__, AttributeError)


def test_a_failure_while_leaving_the_scope_passes_on(monkeypatch):
    class FailingExit:
        def __enter__(self):
            return type("P", (), {"session": Session("u")})()

        def __exit__(self, *exc):
            raise OSError("exit failed")

    monkeypatch.setattr(providers, "get", FailingExit)
    with pytest.raises(OSError, match="exit failed"):
        login_required()(add)(1, 2)


def test_a_failure_while_leaving_with_a_failure_has_it_as_context(monkeypatch):
    class FailingExit:
        def __enter__(self):
            return object()  # no session

        def __exit__(self, *exc):
            try:
                raise KeyError("inside")
            except KeyError:
                raise OSError("exit failed")

    monkeypatch.setattr(providers, "get", FailingExit)
    with pytest.raises(OSError) as info:
        login_required()(add)(1, 2)
    inner = info.value.__context__
    assert isinstance(inner, KeyError)
    assert isinstance(inner.__context__, AttributeError)


def test_a_failing_enter_passes_on_and_f_is_not_called(monkeypatch):
    called = []

    class FailingEnter:
        def __enter__(self):
            raise ConnectionError("down")

        def __exit__(self, *exc):
            called.append("exit")

    monkeypatch.setattr(providers, "get", FailingEnter)
    with pytest.raises(ConnectionError):
        login_required()(lambda: called.append("f"))()
    assert called == []


def test_get_that_is_no_context_manager_is_a_type_error(monkeypatch):
    monkeypatch.setattr(providers, "get", lambda: object())
    with pytest.raises(TypeError, match="context manager"):
        login_required()(add)(1, 2)


def test_a_registry_without_get_is_an_import_error(monkeypatch):
    monkeypatch.delattr(providers, "get")
    with pytest.raises(ImportError, match="get"):
        login_required()(add)(1, 2)


def test_a_session_without_user_passes_its_error_on():
    provider = type("P", (), {"session": object()})()
    with pytest.raises(AttributeError):
        login_required(provider)(add)(1, 2)


def test_the_default_registry_refuses_until_a_user_is_logged_in():
    w = login_required()(add)
    with pytest.raises(RuntimeError, match="^Must login!$"):
        w(1, 2)
    provider = providers.Provider()
    provider.session.user = "someone"
    with providers.use(provider):
        assert w(1, 2) == 3
    with pytest.raises(RuntimeError):
        w(1, 2)


def test_a_failure_of_f_passes_through_both_wrappers(velna_level):
    velna_level(logging.DEBUG)
    log = RecordingLog()
    error = ZeroDivisionError()
    provider = type("P", (), {"session": Session("u")})()

    def f():
        raise error

    with pytest.raises(ZeroDivisionError) as info:
        logged(log)(login_required(provider)(f))()
    assert info.value is error
    assert log.lines() == ["f(, {})"]


def test_must_login_under_logged_writes_only_the_entry_trace(velna_level):
    velna_level(logging.DEBUG)
    log = RecordingLog()
    provider = type("P", (), {"session": Session(None)})()
    with pytest.raises(RuntimeError):
        logged(log)(login_required(provider)(add))(1, 2)
    assert log.lines() == ["add(1,2, {})"]


# ---- loading ---------------------------------------------------------------


def run(code):
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_loading_decorators_does_not_load_the_registry():
    out = run(
        "import sys, velna.decorators as d\n"
        "w = d.login_required(type('P', (), {'session': type('S', (), {'user': 1})()})())(len)\n"
        "w('ab')\n"
        "print('velna.providers' in sys.modules)\n"
        "d.login_required()(len)\n"
        "print('velna.providers' in sys.modules)\n"
    )
    assert out.split() == ["False", "False"]


def test_the_registry_is_imported_at_the_first_check_without_provider():
    out = run(
        "import sys, velna.decorators as d\n"
        "try:\n"
        "    d.login_required()(len)('ab')\n"
        "except RuntimeError as e:\n"
        "    print(e)\n"
        "print('velna.providers' in sys.modules)\n"
    )
    assert out.splitlines() == ["Must login!", "True"]


def test_interpreter_exits_cleanly_with_wrappers_alive():
    run(
        "import logging, velna.decorators as d\n"
        "logging.getLogger('velna').setLevel(logging.DEBUG)\n"
        "def f(x): return x\n"
        "w = d.logged(logging.getLogger('velna.x'))(f)\n"
        "f.cycle = w\n"
        "w(1)\n"
        "g = d.login_required()(f)\n"
    )
