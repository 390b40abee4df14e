"""The server provider: user accounts kept by the key server.

The key server keeps, per user, the public keys given at registration, the
key file as its encrypted bytes only, and the reminder of the backup
passphrase. Neither the password nor the passphrase, nor the password's
hash text that opens the key file, ever leaves this machine: fetching a key
file takes a verifier, which is all the server learns of them. There are
two, so that either credential fetches the key file: one derived from the
passphrase, one from the password's hash text, each with PBKDF2 under a salt
of its own (a label of its kind and the user's identifier), so neither
tells anything of the other or of the key that opens the key file. Both are
stored with the key file, and so both change with the credentials.
Endpoints below the versioned base (all JSON):

- POST users (no credentials): {"signingKey", "derivationKey"} as PEM public
  keys; answers {"userId"}. The signing key logs the user in.
- PUT lockbox: {"keyFile" (Base64), "reminder", "verification":
  {"passphrase", "password"}} of the logged-in user: the two verifiers.
- GET lockbox/fetch?userId=&verification= (no credentials): {"keyFile"} for
  either verifier.

A verifier fetches the key file, so it goes under the name "verification",
which the session never writes to a debug line in clear.
- GET reminder?userId= (no credentials): {"reminder"}.
- GET keys?userId=: {"keys": [public-key records]}.
- DELETE account: removes the logged-in user.

With a ``root_dir`` the provider also keeps the logged-in user's local data
there (the file store and the user's encrypted database), as the local
provider does.
"""
from velna.providers import Provider
from velna.providers.accounts import (AccountPart, LocalData, Part, canonical, on_first_use, public_records,
                                      user_of_key_file)

__getattr__, _name = on_first_use(globals(), {
    "base64": lambda: __import__("base64"),
    "logging": lambda: __import__("logging"),
    "log": lambda: __import__("logging").getLogger("velna.providers.server.provider"),
})

VERIFIER_SALT = b"velna key file fetch:"
PASSWORD_VERIFIER_SALT = b"velna key file fetch by password:"


def client():
    import velna.providers.server.client as module

    return module


def server_session():
    from velna.providers.server.session import session

    return session


def verifier(user_id, passphrase):
    """What the server keeps to check that a fetch of a key file knows the
    passphrase: PBKDF2-HMAC-SHA384 of the passphrase, salted with the user."""
    from velna.crypto import pbkdf2

    if not isinstance(passphrase, str):
        raise TypeError("passphrase must be text")
    salt = VERIFIER_SALT + str(user_id).encode("utf-8")
    return pbkdf2.create_key(passphrase.encode("utf-8"), salt=salt).hex()


def password_verifier(user_id, password):
    """What the server keeps to check that a fetch of a key file knows the
    password: PBKDF2-HMAC-SHA384 of the password's hash text (the secret the
    key file is sealed under), salted with a label of its own and the user.
    The hash text itself may stand for the password, as it does where the
    rescue portion gives it back."""
    from velna.crypto import pbkdf2
    from velna.crypto.hash import get_hash

    salt = PASSWORD_VERIFIER_SALT + str(user_id).encode("utf-8")
    return pbkdf2.create_key(get_hash(password).encode("ascii"), salt=salt).hex()


class Users(AccountPart):
    def create(self, signing_key, derivation_key):
        import velna.crypto as crypto
        from velna.crypto.lockbox import Lockbox
        from velna.user import User
        from velna.utils import UUID

        body = {"signingKey": crypto.to_pem_public(signing_key.public).decode("ascii"),
                "derivationKey": crypto.to_pem_public(derivation_key.public).decode("ascii")}
        answer = client().post("users", json=body, auth=False).json()
        user_id = UUID(answer["userId"])
        lockbox = Lockbox(signing_key=signing_key, derivation_key=derivation_key, user_id=user_id)
        return User(user_id, lockbox)

    def delete(self, user):
        # The server removes the account whose credentials sign the request,
        # so only the logged-in user can be the one removed.
        current = self._owner.session.user
        if current is None or current.id != user.id:
            raise ValueError("Only the logged-in user can be deleted: %s is not logged in." % (user,))
        client().delete("account")
        if self._owner.uses_local_store():
            self._owner.close_database()
            self._owner.delete_database_of(user)

    def get_backup_reminder(self, user_id):
        return client().get("reminder", params={"userId": str(canonical(user_id))}, auth=False).json()["reminder"]


class Lockboxes(Part):
    def update_or_create(self, lockbox, reminder=None, passphrase=None, password=None):
        """Stores the encrypted key file with the reminder and the two
        verifiers. Without |password| its hash text is taken from the key
        file's rescue portion, which the passphrase opens."""
        if not lockbox.encrypted:
            raise ValueError("Only an encrypted key file can be stored.")
        if password is None:
            password = lockbox.rescue.get_password(passphrase)
        body = {"keyFile": _name("base64").b64encode(lockbox.data).decode("ascii"),
                "reminder": reminder,
                "verification": {"passphrase": verifier(lockbox.user_id, passphrase),
                                 "password": password_verifier(lockbox.user_id, password)}}
        client().put("lockbox", json=body)


class Keys(Part):
    def get(self, user_id):
        user_id = canonical(user_id)
        records = client().get("keys", params={"userId": str(user_id)}).json()["keys"]
        return self._owner.key_ring(user_id, records)


class ServerProvider(LocalData, Provider):
    """The provider over the key server."""

    def __init__(self):
        super().__init__(Users, Lockboxes, Keys)
        self._local = False

    @property
    def session(self):
        return server_session()

    @property
    def client(self):
        return client()

    def uses_local_store(self):
        return self._local

    def setup(self, api_key, server_url=None, app_name=None, root_dir=None, **unused):
        """Points the REST client at |server_url| and initialises the session;
        with |root_dir|, roots the local store there."""
        import velna.providers.server as server
        import velna.providers.zov as zov

        self.logout()
        server.initialize(api_key, server_url, app_name)
        self._local = root_dir is not None
        if self._local:
            zov.client.ROOT_DIR = root_dir
            zov.client.initialize()

    def _authenticate(self, user):
        server_session().authenticate(client(), user)

    def _open(self, user_id, password, passphrase):
        """Fetches the key file of |user_id| from the server and opens it."""
        from velna.utils import UUID

        user_id = UUID(user_id)
        if passphrase is not None:
            proof = verifier(user_id, passphrase)
        elif password is not None:
            proof = password_verifier(user_id, password)
        else:
            raise ValueError("A password or a passphrase is needed to fetch the key file.")
        answer = client().get("lockbox/fetch", params={"userId": str(user_id), "verification": proof},
                              auth=False).json()
        return user_of_key_file(user_id, _name("base64").b64decode(answer["keyFile"]), password, passphrase)

    def logout(self, *args, **kwargs):
        """Ends the login with the server and clears the local user data."""
        session = server_session()
        if session.user is not None:
            session.logout()
        self.end_local_login()


__all__ = ["ServerProvider", "verifier", "password_verifier", "public_records"]
