"""The local provider: user accounts kept on this machine.

Everything lives under the local store's root (``root_dir`` of
``initialize``), in the hashed-path file store (``velna.providers.zov.client``):

- a user's key file, as its encrypted bytes only, at the seed
  "{user_id}KeyFile";
- the reminder of the user's backup passphrase, as UTF-8 text, at
  "{user_id}Reminder";
- the user's public keys, as a JSON list of public-key records, at
  "{user_id}PublicKeys"; they also tell which users exist.

While a user is logged in, that user's encrypted database opens on first use
(``database``): it holds the user's row, the public keys of the user and of every user whose keys
were looked up, and whatever the application keeps there. Neither the
password nor the passphrase is stored anywhere; the key file can be opened
with either (the rescue portion gives the password's hash text back for the
passphrase).
"""
import velna.providers.zov as zov
from velna.providers import Provider
from velna.providers.accounts import (AccountPart, LocalData, Part, canonical, on_first_use, public_records,
                                      user_of_key_file)

__getattr__, _name = on_first_use(globals(), {
    "logging": lambda: __import__("logging"),
    "log": lambda: __import__("logging").getLogger("velna.providers.zov.provider"),
    "uuid": lambda: __import__("uuid"),
})

KEY_FILE = "KeyFile"
REMINDER = "Reminder"
PUBLIC_KEYS = "PublicKeys"


def seed(user_id, kind):
    """The store seed of one of a user's files."""
    return ("%s%s" % (user_id, kind)).encode("utf-8")


class Users(AccountPart):
    """Registration and maintenance of local users."""

    def create(self, signing_key, derivation_key):
        from velna.crypto.lockbox import Lockbox
        from velna.user import User

        import json

        user_id = _name("uuid").uuid4()
        lockbox = Lockbox(signing_key=signing_key, derivation_key=derivation_key, user_id=user_id)
        user = User(user_id, lockbox)
        self._owner.write(seed(user_id, PUBLIC_KEYS), json.dumps(public_records(user.keys)).encode("utf-8"))
        _name("log").info("Registered %s", user)
        return user

    def delete(self, user):
        owner = self._owner
        owner.close_database()
        owner.delete_database_of(user)
        for kind in (KEY_FILE, REMINDER, PUBLIC_KEYS):
            zov.client.delete(seed=seed(user.id, kind))

    def get_backup_reminder(self, user_id):
        user_id = canonical(user_id)
        path = zov.client.get_file_path(seed=seed(user_id, REMINDER))
        if not path.exists():
            raise ValueError("No backup reminder for user %s." % user_id)
        return zov.client.get(seed=seed(user_id, REMINDER)).decode("utf-8")


class Lockboxes(Part):
    def update_or_create(self, lockbox, reminder=None, passphrase=None, password=None):
        """Stores the encrypted key file and the reminder. Neither the
        passphrase nor the password is kept: the key file is sealed with them
        already.

        Each file is replaced whole. The key file goes last, so that a
        failure leaves the credentials as they were; the reminder written
        before it is then put back as it was."""
        if not lockbox.encrypted:
            raise ValueError("Only an encrypted key file can be stored.")
        user_id = lockbox.user_id
        reminder_seed = seed(user_id, REMINDER)
        previous = self._owner.read(reminder_seed)
        self._owner.write(reminder_seed, ("" if reminder is None else str(reminder)).encode("utf-8"))
        try:
            self._owner.write(seed(user_id, KEY_FILE), lockbox.data)
        except BaseException:
            try:
                if previous is None:
                    zov.client.delete(seed=reminder_seed)
                else:
                    self._owner.write(reminder_seed, previous)
            except Exception:
                _name("log").warning("The reminder of %s could not be put back.", user_id)
            raise


class Keys(Part):
    def get(self, user_id):
        """The public key ring of a local user, also recorded in the logged-in
        user's database."""
        import json

        user_id = canonical(user_id)
        path = zov.client.get_file_path(seed=seed(user_id, PUBLIC_KEYS))
        if not path.exists():
            raise ValueError("Unknown user %s." % user_id)
        records = json.loads(zov.client.get(seed=seed(user_id, PUBLIC_KEYS)).decode("utf-8"))
        return self._owner.key_ring(user_id, records)


class LocalProvider(LocalData, Provider):
    """The provider over the local store."""

    def __init__(self):
        super().__init__(Users, Lockboxes, Keys)
        self.api_key = None
        self.app_name = None

    @property
    def session(self):
        return zov.session

    @property
    def client(self):
        return zov.client

    def setup(self, api_key, app_name=None, root_dir=".", **unused):
        """Roots the store at |root_dir| (created when missing); None, as for
        every option, counts as not given: the working directory."""
        if root_dir is None:
            root_dir = "."
        self.logout()
        zov.client.ROOT_DIR = root_dir
        zov.client.initialize()
        self.api_key, self.app_name = api_key, app_name

    def write(self, store_seed, data):
        return zov.client.write_bytes(data, seed=store_seed)

    def read(self, store_seed):
        """The bytes stored at |store_seed|, or None when there are none."""
        try:
            return zov.client.get(seed=store_seed)
        except FileNotFoundError:
            return None

    def _open(self, user_id, password, passphrase):
        from velna.utils import UUID

        user_id = UUID(user_id)
        path = zov.client.get_file_path(seed=seed(user_id, KEY_FILE))
        if not path.exists():
            raise ValueError("Unknown user %s." % user_id)
        return user_of_key_file(user_id, zov.client.get(seed=seed(user_id, KEY_FILE)), password, passphrase)

    def logout(self, *args, **kwargs):
        """Ends the login: closes the database, forgets the user and the
        database key derived from its signing key."""
        self.end_local_login()


__all__ = ["LocalProvider", "seed"]
