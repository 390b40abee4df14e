"""The life of a user's local database: its file, tables, migrations,
sessions and removal, on real SQLite files."""
import io
import logging
import os
import sqlite3
import stat
import threading
import uuid

import pytest

from zov_fixtures import db, local, make_user  # noqa: F401  (fixtures)

from velna.providers.zov import database
from velna.providers.zov.database import VelnaDatabase, text

LOGGER = "velna.providers.zov.database"
TABLES = ["users", "keys", "containers", "container_accesses", "events", "alembic_version"]


def stored_tables(path):
    with sqlite3.connect(str(path)) as con:
        return [r[0] for r in con.execute("select name from sqlite_master where type='table' order by rowid")]


def test_initialize_creates_file_tables_and_one_version(local, log_lines, caplog):
    user_id = local.session.user.id
    db = VelnaDatabase()
    db.initialize(user_id)
    seed = ("%sSdkDatabase" % user_id).encode()
    assert len(seed) == 47
    assert db.path == local.client.get_file_path(seed=seed) == database.get_file_path(user_id)
    assert stat.S_IMODE(db.path.stat().st_mode) == 0o600
    for folder in db.path.relative_to(local.client.root).parents:
        if str(folder) != ".":
            assert stat.S_IMODE((local.client.root / folder).stat().st_mode) == 0o700, folder
    assert stored_tables(db.path) == TABLES
    with sqlite3.connect(str(db.path)) as con:
        versions = con.execute("select version_num from alembic_version").fetchall()
    assert len(versions) == 1
    assert db.engine.url == "sqlite:///%s" % db.path and db.engine.url.startswith("sqlite:////")
    here = os.path.dirname(database.__file__)
    opts = {k: db.alembic_cfg.get_section_option("alembic", k) for k in ("sqlalchemy.url", "here", "script_location")}
    assert opts == {"sqlalchemy.url": db.engine.url, "here": here, "script_location": os.path.join(here, "alembic")}
    assert log_lines(LOGGER)[-2:] == [(logging.DEBUG, "ZOV DB has been created at @ %s" % db.path),
                                      (logging.INFO, "ZOV DB Version: %s" % versions[0][0])]
    created, version = [r for r in caplog.records if r.name == LOGGER][-2:]
    assert (created.msg, created.args) == ("ZOV DB has been created at @ %s" % db.path, ())
    assert (version.msg, version.args) == ("ZOV DB Version: %s", (versions[0][0],))

    from velna.providers.zov.models import User
    db.session.add(User(id="someone"))
    db.session.commit()
    again = VelnaDatabase()
    again.initialize(user_id)
    assert again.path == db.path and stored_tables(db.path) == TABLES
    assert again.session.query(User).count() == 1
    assert log_lines(LOGGER)[-2] == (logging.DEBUG, "ZOV DB has been created at @ %s" % db.path)


def test_the_store_client_is_found_at_call_time(local, monkeypatch):
    monkeypatch.delattr(local, "client")
    with pytest.raises(ImportError):
        database.get_file_path(uuid.uuid4())
    with pytest.raises(ImportError):
        VelnaDatabase().initialize(uuid.uuid4())


def test_identifier_text_forms_choose_the_file(local):
    known = uuid.UUID("12345678-1234-5678-1234-567812345678")
    digest = __import__("hashlib").sha384(b"12345678-1234-5678-1234-567812345678SdkDatabase").hexdigest()
    assert database.get_file_path(known) == local.client.root.joinpath(
        *[digest[i:i + 8] for i in range(0, 96, 8)])
    user_id = uuid.uuid4()
    same = database.get_file_path(str(user_id))
    assert database.get_file_path(user_id) == same
    assert database.get_file_path(str(user_id).upper()) != same
    assert database.get_file_path(user_id.hex) != same


def test_every_connection_enforces_foreign_keys_and_sessions_are_per_thread(db):
    assert db.session.execute(text("PRAGMA foreign_keys")).fetchone() == (1,)
    mine = db.session()
    assert db.session() is mine
    theirs = []
    worker = threading.Thread(target=lambda: theirs.append(
        (db.session(), db.session.execute(text("PRAGMA foreign_keys")).fetchone())))
    worker.start()
    worker.join()
    assert theirs[0][0] is not mine and theirs[0][1] == (1,)
    result = db.session.execute(text("select version_num from alembic_version where version_num = :v"),
                                {"v": "none"})
    assert result.fetchone() is None


@pytest.mark.parametrize("answer,removed", [("Y", True), ("y", True), ("yes", False), ("", False), (" y", False),
                                            ("n", False)])
def test_delete_asks_on_the_console(db, monkeypatch, capsys, log_lines, answer, removed):
    monkeypatch.setattr("sys.stdin", io.StringIO(answer + "\n"))
    db.delete()
    out = capsys.readouterr().out
    question = "Are you sure you want to delete the ZOV's database? [y|N]"
    assert out == question + ("ZOV DB has been removed.\n" if removed else "ZOV DB has not been removed.\n")
    assert db.path.exists() != removed
    assert ((logging.INFO, "Removed the ZOV DB.") in log_lines(LOGGER)) == removed


def test_delete_closes_everything_and_removes_journals(local, db, capsys, log_lines):
    from velna.providers.zov.models import User
    db.session.add(User(id="u"))
    db.session.flush()  # an open write transaction holds the file
    journal = db.path.with_name(db.path.name + "-journal")
    assert journal.exists()
    db.delete(prompt=False)
    assert capsys.readouterr().out == ""
    assert not db.path.exists() and not journal.exists()
    assert log_lines(LOGGER)[-1] == (logging.INFO, "Removed the ZOV DB.")
    assert db.engine is not None and db.session is not None
    with pytest.raises(database.InvalidRequestError, match="has been removed"):
        db.session.query(User).all()
    db.delete(prompt=False)  # already gone: no error
    assert log_lines(LOGGER)[-1] == (logging.INFO, "Removed the ZOV DB.")
    db.initialize(local.session.user.id)
    assert stored_tables(db.path) == TABLES
    assert db.session.query(User).count() == 0


@pytest.mark.parametrize("statement, error", [
    ("select * from no_such_table", database.OperationalError),
    ("selec 1", database.OperationalError),
    ("insert into alembic_version (version_num) values (NULL)", database.IntegrityError),
])
def test_what_the_database_refuses_raises_its_own_error_classes(db, statement, error):
    with pytest.raises(database.DatabaseError) as e:
        db.session.execute(text(statement))
    assert type(e.value) is error and str(e.value)


def test_delete_before_initialize(monkeypatch, capsys):
    monkeypatch.setattr("sys.stdin", io.StringIO("y\n"))
    with pytest.raises(AttributeError):
        VelnaDatabase().delete()
    monkeypatch.setattr("sys.stdin", io.StringIO(""))
    with pytest.raises(EOFError):
        VelnaDatabase().delete()


def test_declarative_base_refuses_unknown_keywords_and_tables(local):
    from velna.providers.zov import models
    assert list(database.Base.metadata.tables) == ["users", "keys", "containers", "container_accesses", "events"]
    keys = database.Base.metadata.tables["keys"]
    assert keys is models.Key.__table__ and keys.name == "keys"
    assert keys.columns == ["id", "user_id", "active", "key_type", "pub_key", "index"]
    with pytest.raises(TypeError, match="'nope' is an invalid keyword argument for Container"):
        models.Container(nope=1)
    row = models.ContainerAccess(user_id=uuid.uuid4(), permissions=1)
    assert (row.container, row.key_blob, row.permissions) == (None, None, 1)
    assert models.Container().access == {}
    with pytest.raises(database.InvalidRequestError):
        type("Stray", (database.Base,), {"__tablename__": "stray"})
