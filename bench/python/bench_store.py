"""The local database: 10 000 encrypted containers rows, each with one access
row, inserted in one transaction and read back with their access rows
(joined loading), through

  (1) velna.providers.zov (database, models),
  (2) the same tables written with SQLAlchemy and SQLAlchemy-Utils
      (Debian's python3-sqlalchemy and python3-sqlalchemy-utils; the reference
      model set of the tests, a yardstick only), and
  (3) raw SQLite with the same encryption done in C (bench/store_bench.cpp,
      run from here so that every figure comes from this one run).

Usage: PYTHONPATH=<build>/python /usr/bin/python3 bench/python/bench_store.py [--quick] [--c-bench PATH]

Rows per second count containers. Each repeat starts from an empty database
file; the read uses a fresh session, so nothing comes from an identity map.
"""

import datetime
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import types
import uuid
import warnings

import timing

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent.parent / "tests" / "python"))
import zov_reference  # noqa: E402

QUICK = "--quick" in sys.argv
REPEATS = 2 if QUICK else 3
ROWS = 10000

warnings.simplefilter("ignore")


def c_bench_path():
    if "--c-bench" in sys.argv:
        return sys.argv[sys.argv.index("--c-bench") + 1]
    for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep):
        candidate = pathlib.Path(entry).parent / "bin" / "store_bench"
        if candidate.exists():
            return str(candidate)
    return None


def main():
    import velna.crypto as crypto
    from velna.providers import zov
    from velna.providers.zov import database, models

    work = pathlib.Path(tempfile.mkdtemp(prefix="velna-bench-store-"))
    zov.client.ROOT_DIR = str(work / "zov")
    zov.client.initialize()
    user = types.SimpleNamespace(
        id=uuid.uuid4(), keys={"signingKeys": {0: types.SimpleNamespace(private=crypto.p384.generate_private_key())}})
    zov.session.user = user
    key = models.get_sa_key()
    ref = zov_reference.build()
    when = datetime.datetime(2024, 5, 6, 7, 8, 9, 123456, tzinfo=datetime.timezone.utc)
    ids = [uuid.uuid4() for _ in range(ROWS)]

    def fill(ns, session):
        for i, cid in enumerate(ids):
            c = ns.Container(id=cid, type="file", length=i, created_at=when, created_by=user.id, modified_at=when,
                             modified_by=user.id, zov_location="a/b", synced_at=when, portion="all")
            session.add(c)
            session.add(ns.ContainerAccess(user_id=user.id, container_id=cid, created_at=when, created_by=user.id,
                                           modified_at=when, modified_by=user.id, permissions=255, expires_at=None,
                                           key_blob=b"\x00\xff\x00\xff"))
        session.commit()

    def check(rows):
        assert len(rows) == ROWS and all(len(r.access) == 1 for r in rows), len(rows)

    def velna_run():
        db = database.VelnaDatabase()
        db.initialize(user.id)
        fill(models, db.session)
        db.session.remove()
        check(db.session.query(models.Container).all())
        db.delete(prompt=False)

    counter = [0]

    def reference_run():
        counter[0] += 1
        path = work / ("reference-%d.db" % counter[0])
        session = ref.open_session(path, key)
        fill(ref, session)
        session.close()
        check(session.query(ref.Container).all())
        session.close()
        path.unlink()

    best = timing.best_seconds([("velna", velna_run), ("sqlalchemy", reference_run)], REPEATS, 0.1)
    c_rate = None
    binary = c_bench_path()
    if binary:
        out = subprocess.run([binary, "--benchmark_format=json", "--benchmark_min_time=0.5"], check=True,
                             capture_output=True, text=True).stdout
        c_rate = json.loads(out)["benchmarks"][0]["items_per_second"]

    v_rate, r_rate = ROWS / best["velna"], ROWS / best["sqlalchemy"]
    print("%d containers rows with access rows, inserted in one transaction and read back:" % ROWS)
    print("  velna.providers.zov            %9.0f rows/s  (%.3f s)" % (v_rate, best["velna"]))
    print("  SQLAlchemy + SQLAlchemy-Utils  %9.0f rows/s  (%.3f s)" % (r_rate, best["sqlalchemy"]))
    if c_rate:
        print("  raw SQLite + encryption in C   %9.0f rows/s" % c_rate)
    print("velna / SQLAlchemy: %.1fx" % (v_rate / r_rate))
    if c_rate:
        print("velna / raw C:      %.2fx" % (v_rate / c_rate))


if __name__ == "__main__":
    main()
