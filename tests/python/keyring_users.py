"""Users with real key rings for the key blob and access entry tests.

A user's own ring is built from a new (decrypted) key file; a user with more
keys, or inactive ones, gets a key file's decrypted mapping written here (a
new Lockbox holds one active key of each kind, and KeyRing reads only
``encrypted`` and ``data``). The ring others see is built from the public-key
records the key server would send.
"""
import types
import uuid

import pytest

import velna.crypto as crypto
from velna.crypto.keys import AuthKey, DerivationKey, KeyRing
from velna.crypto.lockbox import Lockbox


class TestUser:
    """id and keys, as a logged-in user offers them, plus the public ring."""

    __test__ = False

    def __init__(self, signing=1, derivation=1, inactive=()):
        self.id = uuid.uuid4()
        self.signing = [AuthKey() for _ in range(signing)]
        self.derivation = [DerivationKey() for _ in range(derivation)]
        self.inactive = set(inactive)  # ("signingKeys", index) pairs
        self.keys = KeyRing(lockbox=self.key_file())
        self.public = KeyRing(pub_keys=self.records(), user_id=self.id)

    def _sections(self):
        return [("signingKeys", "auth", self.signing), ("derivationKeys", "signing", self.derivation)]

    def key_file(self):
        if len(self.signing) == len(self.derivation) == 1 and not self.inactive:
            return Lockbox(signing_key=self.signing[0], derivation_key=self.derivation[0],
                           user_id=self.id)
        data = {"userId": str(self.id)}
        for section, _, keys in self._sections():
            data[section] = {
                str(i): {"key": crypto.to_pem_private(k.private).decode(), "index": i,
                         "active": (section, i) not in self.inactive, "isPublic": False}
                for i, k in enumerate(keys)}
        return types.SimpleNamespace(encrypted=False, data=data)

    def records(self):
        return [{"keyType": kind, "pubKey": crypto.to_pem_public(k.public).decode(), "index": i,
                 "active": (section, i) not in self.inactive, "userId": str(self.id)}
                for section, kind, keys in self._sections() for i, k in enumerate(keys)]


@pytest.fixture(scope="module")
def alice():
    return TestUser()


@pytest.fixture(scope="module")
def bob():
    return TestUser()


@pytest.fixture(scope="module")
def carol():
    return TestUser()
