"""The local store provider package.

``client`` is the process's one hashed-path file store, ``session`` the local
login state: its ``user`` is the logged-in user, or None. The user's database
(``velna.providers.zov.database``) is encrypted under a key derived from that
user's signing key; ``logout`` forgets both the user and that key.
"""
import sys

from velna.providers import Session
from velna.providers.zov.zov_client import VelnaZOVClient

client = VelnaZOVClient()
session = Session()


def logout():
    """Forgets the logged-in user and the database key derived for them."""
    session.user = None
    models = sys.modules.get("velna.providers.zov.models")
    if models is not None:
        models.get_sa_key.cache_clear()
