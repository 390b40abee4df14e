"""Shared set-up of the local store tests: a store in a temporary folder and
users with real P-384 signing keys."""
import types
import uuid

import pytest


def make_user(user_id=None, indexes=(0,), active=True):
    """A logged-in user as the local provider sees it: an id and a key ring
    (from a decrypted key file) whose signing keys carry private P-384 keys."""
    import velna.crypto as crypto
    from velna.crypto.keys import AuthKey, KeyRing
    user_id = user_id or uuid.uuid4()
    records = {str(i): {"active": active, "index": i, "isPublic": False,
                        "key": crypto.to_pem_private(AuthKey().private).decode()} for i in indexes}
    key_file = types.SimpleNamespace(encrypted=False, data={"userId": str(user_id), "signingKeys": records,
                                                            "derivationKeys": {}})
    return types.SimpleNamespace(id=user_id, keys=KeyRing(lockbox=key_file))


def public_only_user():
    """A user whose key ring holds only the public half of its signing key."""
    import velna.crypto as crypto
    from velna.crypto.keys import AuthKey, KeyRing
    user_id = uuid.uuid4()
    record = {"keyType": "auth", "pubKey": crypto.to_pem_public(AuthKey().public).decode(), "index": 0,
              "active": True, "userId": str(user_id)}
    return types.SimpleNamespace(id=user_id, keys=KeyRing(pub_keys=[record], user_id=user_id))


def database_key_of(user):
    """The database key of |user|, computed with python3-cryptography."""
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.kdf.x963kdf import X963KDF
    import velna.crypto as crypto
    der = crypto.to_der_private(user.keys["signingKeys"][0].private)
    # Cross-check the DER form itself with the oracle before deriving.
    key = serialization.load_der_private_key(der, password=None)
    assert key.private_numbers().private_value
    return X963KDF(algorithm=hashes.SHA384(), length=32, sharedinfo=None).derive(der)


@pytest.fixture
def local(tmp_path):
    """The local provider package with its store in a temporary folder and a
    user logged in; logs out afterwards."""
    from velna.providers import zov
    import velna.providers.zov.models  # noqa: F401  (registers the tables)
    zov.client.ROOT_DIR = str(tmp_path / "zov")
    zov.client.initialize()
    zov.session.user = make_user()
    yield zov
    zov.logout()


@pytest.fixture
def db(local):
    """The logged-in user's database, initialised."""
    from velna.providers.zov.database import VelnaDatabase
    database = VelnaDatabase()
    database.initialize(local.session.user.id)
    yield database
    session = getattr(database, "session", None)
    if session is not None:
        try:
            session.close()
        except Exception:
            pass
