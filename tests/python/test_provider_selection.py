"""The registry chooses the provider from the options of initialize."""
import pytest

import velna.portal as portal
import velna.providers as providers


class Kind(providers.Provider):
    def __init__(self):
        super().__init__()
        self.setups = []

    def setup(self, api_key, **options):
        if options.get("fail"):
            raise OSError("cannot set up")
        self.setups.append((api_key, options))


@pytest.fixture
def kinds(monkeypatch):
    made = {"server": Kind(), "local": Kind()}
    monkeypatch.setattr(providers, "_made", made)
    previous = providers.set_provider(None)
    yield made
    providers.set_provider(previous)


@pytest.mark.parametrize("options, kind", [
    ({}, "local"),
    ({"root_dir": "/tmp/x", "app_name": "a"}, "local"),
    ({"server_url": None, "root_dir": "r"}, "local"),
    ({"server_url": "http://127.0.0.1:1/"}, "server"),
    ({"server_url": "http://127.0.0.1:1/", "root_dir": "r"}, "server"),
])
def test_server_url_chooses_the_server_provider(kinds, options, kind):
    portal.initialize("key", fips=False, **options)
    chosen = kinds[kind]
    assert chosen.setups == [("key", options)]
    with providers.get() as active:
        assert active is chosen


def test_a_second_initialize_may_move_to_the_other_provider(kinds):
    portal.initialize("key", fips=False)
    portal.initialize("key2", fips=False, server_url="http://127.0.0.1:1/")
    with providers.get() as active:
        assert active is kinds["server"]
    portal.initialize("key3", fips=False)
    with providers.get() as active:
        assert active is kinds["local"]
    assert [s[0] for s in kinds["local"].setups] == ["key", "key3"]


def test_a_failed_set_up_leaves_the_active_provider(kinds):
    portal.initialize("key", fips=False)
    with pytest.raises(OSError):
        portal.initialize("key", fips=False, server_url="http://x/", fail=True)
    with providers.get() as active:
        assert active is kinds["local"]
