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
import logging
import uuid

import velna.providers.zov as zov
from velna.providers import Provider

log = logging.getLogger("velna.providers.zov.provider")

KEY_FILE = "KeyFile"
REMINDER = "Reminder"
PUBLIC_KEYS = "PublicKeys"

_CREDENTIAL_RULES = (
    ("password", "password_validator"),
    ("passphrase", "passphrase_validator"),
    ("reminder", "reminder_validator"),
)


def seed(user_id, kind):
    """The store seed of one of a user's files."""
    return ("%s%s" % (user_id, kind)).encode("utf-8")


def canonical(user_id):
    """|user_id| as an identifier when it is one in any form the library
    accepts at login (text with or without hyphens, in either case), so that
    every form finds the same user; anything else unchanged."""
    from velna.utils import UUID

    try:
        return UUID(user_id)
    except (ValueError, TypeError):
        return user_id


def public_records(ring):
    """The public-key records of every key of |ring|, in the ring's order."""
    import velna.crypto as crypto
    from velna.crypto.keys import KeyType

    records = []
    for key_type, section in ring.items():
        for index, key in section.items():
            records.append({
                "keyType": "auth" if key_type == KeyType.AUTH else "derivation",
                "pubKey": crypto.to_pem_public(key.public).decode("ascii"),
                "index": index,
                "active": bool(key.active),
                "userId": str(ring.user_id),
            })
    return records


def check_credentials(values, validators):
    """Applies the validators as user creation does: password, passphrase,
    reminder, in this order; the first refusal raises. A validator that is
    None is the library's own rule."""
    import velna.utils as utils

    for name, validator in _CREDENTIAL_RULES:
        check = validators[validator] or getattr(utils, "is_%s_valid" % name)
        if not check(values[name]):
            message = "%s does not meet complexity requirements." % name
            log.info(message)
            raise ValueError(message)


class Part:
    """One part of a provider's operations (users, key files, keys), bound
    to the provider that owns it."""

    def __init__(self, owner):
        self._owner = owner


class Users(Part):
    """Registration and maintenance of local users."""

    def create(self, signing_key, derivation_key):
        from velna.crypto.lockbox import Lockbox
        from velna.user import User

        import json

        user_id = uuid.uuid4()
        lockbox = Lockbox(signing_key=signing_key, derivation_key=derivation_key, user_id=user_id)
        user = User(user_id, lockbox)
        self._owner.write(seed(user_id, PUBLIC_KEYS), json.dumps(public_records(user.keys)).encode("utf-8"))
        log.info("Registered %s", user)
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

    def change_credentials(self, password, passphrase, reminder=None, password_validator=None,
                           reminder_validator=None, passphrase_validator=None):
        check_credentials(
            {"password": password, "passphrase": passphrase, "reminder": reminder},
            {"password_validator": password_validator, "reminder_validator": reminder_validator,
             "passphrase_validator": passphrase_validator})
        rekey(self._owner.session.user, password, passphrase,
              lambda sealed: self._owner.lockbox.update_or_create(sealed, reminder=reminder,
                                                                  passphrase=passphrase))


class Lockboxes(Part):
    def update_or_create(self, lockbox, reminder=None, passphrase=None):
        """Stores the encrypted key file and the reminder. The passphrase is
        not kept: the key file's rescue portion is sealed with it already.

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
                log.warning("The reminder of %s could not be put back.", user_id)
            raise


class Keys(Part):
    def get(self, user_id):
        """The public key ring of a local user, also recorded in the logged-in
        user's database."""
        import json

        from velna.crypto.keys import KeyRing

        user_id = canonical(user_id)
        path = zov.client.get_file_path(seed=seed(user_id, PUBLIC_KEYS))
        if not path.exists():
            raise ValueError("Unknown user %s." % user_id)
        records = json.loads(zov.client.get(seed=seed(user_id, PUBLIC_KEYS)).decode("utf-8"))
        ring = KeyRing(pub_keys=records, user_id=user_id)
        self._owner.record_keys(records)
        return ring


class LocalData:
    """The logged-in user's local data: the file store and the user's
    encrypted database. Both providers keep data locally through it.

    The database opens when it is first used after a login (``database``),
    so that a login costs no more than opening the key file.
    """

    _database = None

    def uses_local_store(self):
        return True

    @property
    def store(self):
        """The local file store, or None when no local store is in use."""
        return zov.client if self.uses_local_store() else None

    @property
    def database(self):
        """The logged-in user's database, opened on first use; None while
        nobody is logged in or no local store is in use."""
        if self._database is None:
            user = zov.session.user
            if user is None or not self.uses_local_store():
                return None
            self.open_database(user)
        return self._database

    def open_database(self, user):
        """Opens the database of |user|, keyed from its signing key."""
        from velna.providers.zov import database, models

        self.close_database()
        db = database.VelnaDatabase()
        db.initialize(user.id)
        self._database = db
        session = db.session
        if session.get(models.User, str(user.id)) is None:
            session.add(models.User(id=str(user.id)))
            session.commit()
        self.record_keys(public_records(user.keys))

    def record_keys(self, records):
        """Adds to the user's database the public-key records it lacks."""
        db = self.database
        if db is None:
            return
        from velna.providers.zov import models

        session = db.session
        for r in records:
            key_type = "signingKeys" if r["keyType"] == "auth" else "derivationKeys"
            user_id = uuid.UUID(str(r["userId"]))
            found = session.query(models.Key).filter_by(user_id=user_id, key_type=key_type, index=r["index"]).first()
            if found is None:
                session.add(models.Key(user_id=user_id, active=r["active"], key_type=key_type,
                                       pub_key=r["pubKey"].encode("ascii"), index=r["index"]))
        session.commit()

    def close_database(self, delete=False):
        db, self._database = self._database, None
        if db is None:
            return
        db.session.remove()
        if delete:
            db.delete(prompt=False)

    def delete_database_of(self, user):
        """Removes the database file of |user| and its journals."""
        from velna.providers.zov import database

        path = database.get_file_path(user.id)
        for suffix in ("", "-journal", "-wal", "-shm"):
            try:
                path.with_name(path.name + suffix).unlink()
            except FileNotFoundError:
                pass

    def end_local_login(self):
        """Closes the database and forgets the user and the database key."""
        self.close_database()
        zov.logout()

    def begin_local_login(self, user):
        zov.session.user = user

    def login(self, user_id=None, password=None, passphrase=None, user=None):
        if user is None:
            user = self._open(user_id, password, passphrase)
        self.logout()
        try:
            self._authenticate(user)
            self.begin_local_login(user)
        except BaseException:
            self.logout()
            raise
        return user

    def _authenticate(self, user):
        """Proves to the server, where there is one, that |user| logs in."""


def key_file_of(user):
    """A new decrypted key file holding the keys of |user|."""
    from velna.crypto.keys import KeyType
    from velna.crypto.lockbox import Lockbox

    return Lockbox(signing_key=user.keys[KeyType.AUTH][0], derivation_key=user.keys[KeyType.DERIVATION][0],
                   user_id=user.id)


def rekey(user, password, passphrase, store):
    """Seals the keys of |user| in a new key file under |password| and
    |passphrase| and hands it to |store|, which keeps it. Only once it is
    kept does |user| take the new key file (decrypted, as after a login): a
    failure leaves the user with the key file it had."""
    sealed = key_file_of(user)
    sealed.encrypt(password=password, passphrase=passphrase)
    store(sealed)
    user.lockbox = key_file_of(user)


class LocalProvider(LocalData, Provider):
    """The provider over the local store."""

    def __init__(self):
        self.user = Users(self)
        self.lockbox = Lockboxes(self)
        self.keys = Keys(self)
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



def open_key_file(lockbox, password, passphrase):
    """Decrypts |lockbox| with the password, or, without one, with the hash
    text that its rescue portion gives back for the passphrase."""
    if password is None:
        password = lockbox.rescue.get_password(passphrase)
    lockbox.decrypt(password)


def user_of_key_file(user_id, enc_data, password, passphrase):
    """The user |user_id| with the key file |enc_data| opened (see
    open_key_file); a key file of anyone else is refused."""
    from velna.crypto.lockbox import Lockbox
    from velna.user import User

    lockbox = Lockbox(enc_data=enc_data)
    open_key_file(lockbox, password, passphrase)
    if lockbox.user_id != user_id:
        raise ValueError("The key file of %s belongs to another user." % user_id)
    return User(user_id, lockbox)


__all__ = ["LocalProvider", "LocalData", "seed", "canonical", "public_records", "check_credentials",
           "rekey", "open_key_file", "user_of_key_file", "Part"]
