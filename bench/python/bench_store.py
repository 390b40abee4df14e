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

Rows per second count containers; insert and read are timed apart. Each
round starts from an empty database file; the read uses a fresh session, so
nothing comes from an identity map.
"""

import datetime
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time
import types
import uuid
import warnings

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent.parent / "tests" / "python"))
import zov_reference  # noqa: E402

QUICK = "--quick" in sys.argv
ROUNDS = 2 if QUICK else 5
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

    def velna_round():
        db = database.VelnaDatabase()
        db.initialize(user.id)
        start = time.process_time()
        fill(models, db.session)
        inserted = time.process_time()
        db.session.remove()
        start_read = time.process_time()
        rows = db.session.query(models.Container).all()
        read = time.process_time()
        check(rows)
        del rows
        db.delete(prompt=False)
        return inserted - start, read - start_read

    counter = [0]

    def reference_round():
        counter[0] += 1
        path = work / ("reference-%d.db" % counter[0])
        session = ref.open_session(path, key)
        start = time.process_time()
        fill(ref, session)
        inserted = time.process_time()
        session.close()
        start_read = time.process_time()
        rows = session.query(ref.Container).all()
        read = time.process_time()
        check(rows)
        del rows
        session.close()
        path.unlink()
        return inserted - start, read - start_read

    # The variants run in turns, each round on a new file; CPU time of this
    # process, so that other work on the machine counts little.
    velna_round()
    times = {"velna": [], "sqlalchemy": []}
    for _ in range(ROUNDS):
        for name, run in (("velna", velna_round), ("sqlalchemy", reference_round)):
            times[name].append(run())
    rate = {name: [ROWS / statistics.median(t[i] for t in runs) for i in (0, 1)]
            for name, runs in times.items()}

    c_rate = None
    binary = c_bench_path()
    if binary:
        out = subprocess.run([binary, "--benchmark_format=json", "--benchmark_min_time=0.3",
                              "--benchmark_repetitions=%d" % ROUNDS, "--benchmark_report_aggregates_only=true"],
                             check=True, capture_output=True, text=True).stdout
        medians = {b["run_name"]: b["items_per_second"] for b in json.loads(out)["benchmarks"]
                   if b.get("aggregate_name") == "median"}
        c_rate = [medians["BM_StoreInsert"], medians["BM_StoreRead"]]

    print("%d containers rows with access rows, inserted in one transaction, then read back with joined"
          " loading (medians of %d rounds, CPU time):" % (ROWS, ROUNDS))
    print("                                   insert rows/s   read rows/s")
    rows_of = [("velna.providers.zov", rate["velna"]), ("SQLAlchemy + SQLAlchemy-Utils", rate["sqlalchemy"])]
    if c_rate:
        rows_of.append(("raw SQLite + encryption in C", c_rate))
    for label, (ins, rd) in rows_of:
        print("  %-30s %12.0f  %12.0f" % (label, ins, rd))
    v, r = rate["velna"], rate["sqlalchemy"]
    print("velna / SQLAlchemy:  insert %.1fx  read %.1fx" % (v[0] / r[0], v[1] / r[1]))
    if c_rate:
        print("velna / raw C:       insert %.2fx  read %.2fx" % (v[0] / c_rate[0], v[1] / c_rate[1]))


if __name__ == "__main__":
    main()
