"""Importing the package loads only what its import needs: the standard-library
modules that only some calls use are imported by the first of them, and a
name a module exposes for them is one object from its first read on, which a
caller may replace."""
import logging
import pkgutil
import subprocess
import sys
import types

import pytest

import _velna_probe as probe
import velna

EVERY_MODULE = sorted(["velna"] + [m.name for m in pkgutil.walk_packages(velna.__path__, "velna.")])

# Modules that no import of the package needs (each costs start-up time).
IMPORTED_ON_FIRST_USE = ("logging", "uuid", "datetime", "pathlib", "base64", "threading",
                         "urllib.parse", "json", "ast", "decimal")


def run(code):
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout.split()


@pytest.mark.parametrize("modules, absent", [
    (EVERY_MODULE, IMPORTED_ON_FIRST_USE),
    # A schema's answer type and the registered mapping classes need no
    # collections; wrapping a function is what imports functools.
    (["velna.crypto.keys", "velna.providers.server.http", "velna.decorators"],
     ("collections", "functools")),
])
def test_importing_modules_imports_none_of_what_only_calls_need(modules, absent):
    assert len(EVERY_MODULE) > 30
    loaded = run("import sys\nimport %s\nprint(*sorted(set(%r) & set(sys.modules)))"
                 % (", ".join(modules), absent))
    assert loaded == []


# (module, name, what it is once read); each read in a fresh interpreter.
NAMES = [
    ("velna.providers.accounts", "logging", "logging"),
    ("velna.providers.accounts", "log", "logging.getLogger('velna.providers.zov.provider')"),
    ("velna.providers.accounts", "uuid", "uuid"),
    ("velna.providers.zov.provider", "logging", "logging"),
    ("velna.providers.zov.provider", "log", "logging.getLogger('velna.providers.zov.provider')"),
    ("velna.providers.zov.provider", "uuid", "uuid"),
    ("velna.providers.server.provider", "base64", "base64"),
    ("velna.providers.server.provider", "logging", "logging"),
    ("velna.providers.server.provider", "log", "logging.getLogger('velna.providers.server.provider')"),
    ("velna.providers.zov.models", "base64", "base64"),
    ("velna.providers.zov.models", "binascii", "binascii"),
    ("velna.providers.zov.models", "uuid", "uuid"),
    ("velna.providers.zov.models", "functools", "functools"),
]


@pytest.mark.parametrize("module, name, expected", NAMES)
def test_a_name_is_made_at_its_first_read_and_stays_one_object(module, name, expected):
    stdlib = expected.split(".")[0]
    out = run("import sys, %s as m\n"
              "before = %r in sys.modules\n"
              "first = m.%s\n"
              "import %s\n"
              "print(before, first is %s, m.%s is first, vars(m)[%r] is first)"
              % (module, stdlib, name, stdlib, expected, name, name))
    assert out == [str(stdlib in ("binascii",)), "True", "True", "True"]


@pytest.mark.parametrize("module", ["velna.providers.accounts", "velna.providers.zov.provider",
                                    "velna.providers.server.provider"])
def test_an_unknown_name_is_still_an_attribute_error(module):
    __import__(module)
    with pytest.raises(AttributeError, match="module '%s' has no attribute 'nothing'" % module):
        getattr(sys.modules[module], "nothing")
    assert not hasattr(sys.modules[module], "nothing")


def test_a_replaced_logger_is_the_one_a_refused_credential_logs_to(monkeypatch, caplog):
    import velna.providers.accounts as accounts

    replaced = logging.getLogger("velna.tests.accounts")
    monkeypatch.setattr(accounts, "log", replaced)
    caplog.set_level(logging.INFO, logger="velna.tests.accounts")
    with pytest.raises(ValueError, match="password does not meet"):
        accounts.check_credentials({"password": "short", "passphrase": "x", "reminder": None},
                                   dict.fromkeys(("password_validator", "passphrase_validator",
                                                  "reminder_validator")))
    assert [(r.name, r.getMessage()) for r in caplog.records] == [
        ("velna.tests.accounts", "password does not meet complexity requirements.")]


def test_a_kept_object_is_imported_at_its_first_read_and_kept(monkeypatch):
    monkeypatch.delitem(sys.modules, "velna_probe_target", raising=False)
    with pytest.raises(ModuleNotFoundError):
        probe.first_use()
    target = types.ModuleType("velna_probe_target")
    monkeypatch.setitem(sys.modules, "velna_probe_target", target)
    with pytest.raises(AttributeError):  # the failure is not kept: tried again
        probe.first_use()
    target.value = types.SimpleNamespace()
    with pytest.raises(AttributeError, match="inner"):
        probe.first_use()
    inner = target.value.inner = object()
    assert probe.first_use() is inner
    target.value = types.SimpleNamespace(inner=object())
    assert probe.first_use() is inner


# Calls whose first run imports a standard module (named first), each made
# by several threads at once in a fresh interpreter that switches threads as
# often as it can: no thread may wait on another's first use while holding
# the interpreter, which would stop both.
FIRST_CALLS = [
    ("uuid", "import velna.utils as u", "u.UUID('12345678123456781234567812345678')"),
    ("uuid", "from velna.event import EventSchema",
     "EventSchema().load({'eventId': 1, 'containerId': '12345678-1234-5678-1234-567812345678'})"),
    ("decimal", "import _velna_probe as p, datetime", "p.to_datetime(datetime.timezone.utc)"),
    ("uuid", "import velna.crypto.container as c", "c.Container(data=None, content_cls=None)"),
]


@pytest.mark.parametrize("module, setup, call", FIRST_CALLS)
def test_threads_making_the_first_call_at_once_all_finish(module, setup, call):
    code = "\n".join([
        "import sys, threading",
        setup,
        "assert %r not in sys.modules" % module,
        "sys.setswitchinterval(1e-6)",
        "start = threading.Barrier(4)",
        "def go():",
        "    start.wait()",
        "    for _ in range(3):",
        "        " + call,
        "threads = [threading.Thread(target=go) for _ in range(4)]",
        "for t in threads: t.start()",
        "for t in threads: t.join()",
        "print('done')",
    ])
    assert run(code) == ["done"]
