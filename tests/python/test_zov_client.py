"""The hashed-path file store of the local provider, on real folders."""
import hashlib
import logging
import os
import pathlib
import stat

import pytest

from velna.providers.zov.zov_client import VelnaZOVClient

LOGGER = "velna.providers.zov.zov"
ABC = ("cb00753f/45a35e8b/b5a03d69/9ac65007/272c32ab/0eded163/1a8b605a/43ff5bed/"
       "8086072b/a1e7cc23/58baeca1/34c825a7")


@pytest.fixture
def store(tmp_path):
    client = VelnaZOVClient()
    client.ROOT_DIR = str(tmp_path / "store")
    client.initialize()
    return client


def expected_place(seed, length=8, depth=12):
    if isinstance(seed, str):
        seed = seed.encode()
    digest = hashlib.sha384(seed).hexdigest()
    pieces = [digest[i:i + length] for i in range(0, len(digest), length)]
    return pathlib.Path(*pieces[:depth]) if pieces[:depth] else pathlib.Path()


def test_constants_and_a_new_client():
    client = VelnaZOVClient()
    assert (client.MAX_FILE_CREATION_ATTEMPTS, client.MAX_FILE_NAME_LENGTH, client.MAX_LEVELS_DEEP) == (10, 8, 12)
    assert client.ROOT_DIR == "." and not hasattr(client, "root")
    for call in (client.get_file_path, client.get, client.delete, lambda: client.write_bytes(b"x")):
        with pytest.raises(AttributeError):
            call()


@pytest.mark.parametrize("seed,length,depth", [
    ("abc", 8, 12), (b"abc", 8, 12), ("", 8, 12), (b"", 8, 12), ("abc", 8, 1), ("abc", 8, 0),
    ("abc", 16, 12), ("abc", 10, 12), ("abc", 8, -3), ("h\u00e9", 8, 12),
])
def test_hash_location_cuts_the_digest(seed, length, depth):
    assert VelnaZOVClient()._hash_location(seed, filename_length=length, depth=depth) == expected_place(
        seed, length, depth)


def test_hash_location_refuses_depth_beyond_the_digest(log_lines):
    client = VelnaZOVClient()
    assert str(client._hash_location("abc")) == ABC
    with pytest.raises(ValueError, match="^depth cannot exceed the maximum value: 12$"):
        client._hash_location("abc", depth=13)
    assert log_lines(LOGGER) == [(logging.WARNING, "depth cannot exceed the maximum value: 12")]
    with pytest.raises(TypeError):
        client._hash_location(12)
    for length, depth in ((8.0, 1), (8, 1.0), (8, "1")):
        with pytest.raises(TypeError):
            client._hash_location("abc", filename_length=length, depth=depth)
    # lengths and depths beyond 64 bits cut the digest as any large number does
    assert client._hash_location("abc", filename_length=2 ** 70, depth=-(2 ** 70)) == pathlib.Path()
    assert client._hash_location("abc", filename_length=2 ** 70) == expected_place("abc", 96)


def test_places_come_from_the_package_hash_and_random_functions_of_the_moment(store, monkeypatch):
    import velna.crypto as crypto
    import velna.providers.zov.zov_client as zov_client
    seeds = []
    monkeypatch.setattr(crypto, "SHA384", lambda data: seeds.append(data) or "0123456789abcdef" * 6)
    monkeypatch.setattr(crypto, "random", lambda num: b"r" * num)
    assert store.get_file_path("seed") == store.root.joinpath(*["01234567", "89abcdef"] * 6)
    assert store.get_file_path() == store.root.joinpath(*["01234567", "89abcdef"] * 6)
    assert seeds == ["seed", b"r" * 64]
    assert zov_client.crypto is crypto


def test_initialize_places_and_resolves_the_root(tmp_path, monkeypatch, log_lines):
    monkeypatch.chdir(tmp_path)
    client = VelnaZOVClient()
    client.initialize("abc")
    assert client.root == (tmp_path / "cb00753f").resolve() and client.root.is_absolute()
    assert stat.S_IMODE(client.root.stat().st_mode) & 0o077 == 0
    for seed in (None, ""):
        client.initialize(seed)
        assert client.root == tmp_path.resolve()
    assert log_lines(LOGGER)[-1] == (logging.INFO, "ZOV created at %s" % tmp_path.resolve())
    # A file where the folder should be: the error passes, no info line.
    client.ROOT_DIR = str(tmp_path / "file")
    (tmp_path / "file").write_bytes(b"")
    with pytest.raises(OSError):
        client.initialize()
    assert client.root == pathlib.Path(tmp_path / "file")


def test_seeded_files_are_written_read_overwritten_and_removed(store, log_lines):
    place = store.get_file_path(seed="abc")
    assert place == store.root / ABC and place == store.get_file_path(seed=b"abc")
    assert not place.parent.exists()  # locating creates nothing
    assert store.write_bytes(b"one", seed="abc") == place
    assert store.write_bytes(b"two", seed=b"abc") == place
    assert store.get(seed="abc") == b"two"
    folders = [place.parents[i] for i in range(11)]
    assert all(stat.S_IMODE(f.stat().st_mode) & 0o077 == 0 for f in folders)
    store.delete(seed="abc")
    assert not place.exists() and place.parent.is_dir()
    assert log_lines(LOGGER)[-4:] == [
        (logging.DEBUG, "Wrote data at %s" % place), (logging.DEBUG, "Wrote data at %s" % place),
        (logging.DEBUG, "Fetched from %s" % place), (logging.INFO, "Removed file from ZOV @ %s" % place)]
    with pytest.raises(TypeError):
        store.write_bytes("text", seed="abc")


def test_random_places_are_fresh_and_missing_ones_are_reported(store, log_lines):
    seen = {store.get_file_path() for _ in range(5)}
    assert len(seen) == 5
    assert all(len(p.relative_to(store.root).parts) == 12 and not p.exists() for p in seen)
    written = store.write_bytes(b"data")
    assert written.read_bytes() == b"data"
    with pytest.raises(FileNotFoundError):
        store.get()
    assert log_lines(LOGGER)[-1][1].startswith("Fetched from %s" % store.root)
    store.delete()
    (w, warning), (i, info) = log_lines(LOGGER)[-2:]
    assert (w, i) == (logging.WARNING, logging.INFO)
    assert warning.startswith("File in ZOV @ ") and warning.endswith(" is already gone.")
    assert info.startswith("Removed file from ZOV @ ")


def test_log_records_carry_the_place_as_their_argument(store, caplog):
    caplog.set_level(logging.DEBUG, LOGGER)
    place = store.write_bytes(b"x", seed="abc")
    store.get("abc")
    store.delete(seed="abc")
    store.delete(seed="abc")
    records = [(r.levelno, r.msg, r.args) for r in caplog.records if r.name == LOGGER]
    assert records == [(logging.DEBUG, "Wrote data at %s", (place,)),
                       (logging.DEBUG, "Fetched from %s", (place,)),
                       (logging.INFO, "Removed file from ZOV @ %s", (place,)),
                       (logging.WARNING, "File in ZOV @ %s is already gone.", (place,)),
                       (logging.INFO, "Removed file from ZOV @ %s", (place,))]


def test_no_free_random_place(store, monkeypatch):
    import velna.crypto as crypto
    draws = []
    monkeypatch.setattr(crypto, "random", lambda num: draws.append(num) or b"\x00" * num)
    taken = store.write_bytes(b"x")
    for attempts in (10, 3):
        store.MAX_FILE_CREATION_ATTEMPTS = attempts
        draws.clear()
        with pytest.raises(OSError, match="^Cannot find a suitable file.$"):
            store.get_file_path()
        assert draws == [64] * attempts
    assert taken.exists()


def test_explicit_paths_stay_inside_the_store(store, tmp_path):
    inside = store.write_bytes(b"a", seed="ignored", path="sub/file")
    assert inside == store.root / "sub/file" and inside.read_bytes() == b"a"
    assert not store.get_file_path(seed="ignored").exists()
    # A path the store returned, absolute, passes.
    returned = store.write_bytes(b"b", seed="abc")
    assert store.write_bytes(b"c", path=returned) == returned and returned.read_bytes() == b"c"
    store.delete(path=str(returned))
    assert not returned.exists()
    outside = tmp_path / "outside"
    for bad in (str(outside), "../outside", "sub/../../outside", outside):
        with pytest.raises(ValueError, match="outside the ZOV"):
            store.write_bytes(b"x", path=bad)
        with pytest.raises(ValueError, match="outside the ZOV"):
            store.delete(path=bad)
    assert not outside.exists()


def mode(path):
    return stat.S_IMODE(os.lstat(str(path)).st_mode)


def names_below(folder):
    return sorted(str(p.relative_to(folder)) for p in folder.rglob("*"))


@pytest.mark.parametrize("mask", [0o000, 0o022, 0o277])
def test_files_and_folders_are_the_owners_alone_whatever_the_umask(store, mask):
    previous = os.umask(mask)
    try:
        seeded = store.write_bytes(b"one", seed="abc")
        store.write_bytes(b"two", seed="abc")
        explicit = store.write_bytes(b"three", path="sub/deeper/file")
    finally:
        os.umask(previous)
    assert (mode(seeded), mode(explicit)) == (0o600, 0o600)
    folders = [seeded.parents[i] for i in range(11)] + [explicit.parent, explicit.parent.parent]
    assert {mode(f) for f in folders} == {0o700}
    # Nothing but the places: the files written beside them took their names.
    assert [n for n in names_below(store.root) if os.path.basename(n).startswith(".")] == []
    assert store.get(seed="abc") == b"two"


def test_symbolic_links_never_lead_the_store_outside_its_root(store, tmp_path):
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "secret").write_bytes(b"secret")
    # The first folder of one seed's place, a folder named by a path, and the
    # place of another seed itself lead outside.
    first = store.get_file_path(seed="abc").relative_to(store.root).parts[0]
    (store.root / first).symlink_to(outside, target_is_directory=True)
    (store.root / "out").symlink_to(outside, target_is_directory=True)
    linked = store.get_file_path(seed="def")
    linked.parent.mkdir(parents=True)
    linked.symlink_to(outside / "secret")
    refused = [
        lambda: store.write_bytes(b"x", seed="abc"), lambda: store.get(seed="abc"),
        lambda: store.delete(seed="abc"),
        lambda: store.write_bytes(b"x", path="out/new/file"), lambda: store.delete(path="out/secret"),
        lambda: store.write_bytes(b"x", seed="def"), lambda: store.get(seed="def"),
        lambda: store.delete(seed="def"), lambda: store.write_bytes(b"x", path=linked),
    ]
    for call in refused:
        with pytest.raises(ValueError, match="outside the ZOV|symbolic link, which the ZOV does not"):
            call()
    assert names_below(outside) == ["secret"] and (outside / "secret").read_bytes() == b"secret"
    assert linked.is_symlink()
    # A link that stays inside the store is followed.
    (store.root / "inner").mkdir()
    (store.root / "alias").symlink_to(store.root / "inner", target_is_directory=True)
    assert store.write_bytes(b"in", path="alias/file").read_bytes() == b"in"
    assert (store.root / "inner" / "file").read_bytes() == b"in"


def test_what_the_file_system_refuses_keeps_its_kind(store):
    place = store.write_bytes(b"old", seed="abc")
    folder = store.get_file_path(seed="def")
    folder.mkdir(parents=True)
    cases = [
        (lambda: store.get(seed="def"), IsADirectoryError, folder),
        (lambda: store.write_bytes(b"x", seed="def"), IsADirectoryError, folder),
        (lambda: store.delete(seed="def"), IsADirectoryError, folder),
        (lambda: store.write_bytes(b"x", path=place / "below"), NotADirectoryError, place / "below"),
        (lambda: store.get(seed="no such seed"), FileNotFoundError, store.get_file_path(seed="no such seed")),
        (lambda: store.write_bytes(b"x", path="."), IsADirectoryError, store.root),
    ]
    for call, kind, path in cases:
        with pytest.raises(kind) as caught:
            call()
        assert caught.value.filename == str(path)
    with pytest.raises(TypeError, match="^data must be bytes$"):
        store.write_bytes(bytearray(b"new"), seed="abc")
    assert place.read_bytes() == b"old" and folder.is_dir()
    assert names_below(place.parent) == [place.name]
