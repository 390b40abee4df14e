"""Work that is long whatever the size of its input (signatures, key
derivation, key agreement, transfers, the file system) lets other threads
run meanwhile. Each case runs in a child whose switch interval is so long
that a waiting thread gets the interpreter only when the work lets go of
it; the waiting thread records whether it ran before the work returned
(within a few repetitions of the work, as a short release may end before
the thread has woken)."""
import json
import os
import subprocess
import sys

import pytest

from keyserver_fixture import unanswered

PROGRAM = r"""
import json, sys, threading, time, uuid
import velna.crypto as crypto
import velna.crypto.aes
import velna.crypto.ecdsa as ecdsa
import velna.crypto.ies as ies
import velna.crypto.pbkdf2 as pbkdf2
import velna.providers.server.aws as aws
import velna.providers.server.http as http
from velna.crypto.keys import AuthKey, DerivationKey, KeyRing
from velna.crypto.lockbox import Lockbox
from velna.providers.zov.zov_client import VelnaZOVClient

def ring():
    return KeyRing(lockbox=Lockbox(signing_key=AuthKey(), derivation_key=DerivationKey(),
                                   user_id=uuid.uuid4()))

def refused(fn):
    try:
        fn()
    except http.RequestException:
        pass

key = crypto.p384.generate_private_key()
alice, bob = ring(), ring()
blob = ies.encrypt(data=b"keys", sender_keys=alice, recip_keys=bob, obj_id=uuid.uuid4())
store = VelnaZOVClient()
store.ROOT_DIR = sys.argv[1]
store.initialize()
large = bytes(8 << 20)
store.write_bytes(large, seed="read")
unanswered = "http://127.0.0.1:%s/x" % sys.argv[2]
session = http.Session()
session.connect_timeout = aws.CONNECT_TIMEOUT = 0.2

work = {
    "ecdsa.sign": lambda: ecdsa.sign(key, b"data"),
    "private key sign": lambda: key.sign(b"data", ecdsa.ECDSA),
    "pbkdf2.create_key": lambda: pbkdf2.create_key(b"secret", b"saltsalt"),
    "PBKDF2HMAC.derive": lambda: pbkdf2.V1_PBKDF2(salt=b"saltsalt").derive(b"secret"),
    "ies.encrypt": lambda: ies.encrypt(data=b"keys", sender_keys=alice, recip_keys=bob,
                                       obj_id=uuid.uuid4()),
    "ies.decrypt": lambda: ies.decrypt(data=blob, recip_keys=bob),
    "store write": lambda: store.write_bytes(large, seed="write"),
    "store read": lambda: store.get(seed="read"),
    "session request": lambda: refused(lambda: session.get(unanswered)),
    "storage request": lambda: refused(lambda: aws.get(unanswered)),
}


def lets_others_run(work):
    ran = []
    go = threading.Event()
    thread = threading.Thread(target=lambda: (go.wait(), ran.append(1)))
    thread.start()
    go.set()
    deadline = time.perf_counter() + 0.05
    while time.perf_counter() < deadline:  # holds the interpreter: the thread now waits for it
        pass
    for attempt in range(20):
        work()
        if ran:
            break
    ran_meanwhile = bool(ran)
    thread.join()
    return ran_meanwhile


sys.setswitchinterval(30.0)
print(json.dumps({case: lets_others_run(fn) for case, fn in work.items()}))
"""

CASES = ["ecdsa.sign", "private key sign", "pbkdf2.create_key", "PBKDF2HMAC.derive",
         "ies.encrypt", "ies.decrypt", "store write", "store read", "session request",
         "storage request"]


@pytest.fixture(scope="module")
def outcomes(tmp_path_factory):
    """Runs every case in one child; whether each let the waiting thread run."""
    with unanswered() as port:
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        result = subprocess.run(
            [sys.executable, "-c", PROGRAM, str(tmp_path_factory.mktemp("store")), str(port)],
            capture_output=True, text=True, timeout=300, env=env)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.mark.parametrize("case", CASES)
def test_long_work_lets_other_threads_run(outcomes, case):
    assert outcomes[case] is True
