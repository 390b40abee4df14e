"""What both providers share: the parts a provider's operations are made
of, the logged-in user's local data and login, and the rules of user
accounts that do not depend on where they are kept (identifiers, public-key
records, credential checks, sealing and opening key files).

The local store itself (the file store and the user's database) lives in
``velna.providers.zov``; a provider uses it through ``LocalData``.
"""
import velna.providers.zov as zov


def on_first_use(namespace, makers):
    """The module-level ``__getattr__`` of a module whose names |makers| are
    made on first use (standard-library modules and loggers, which cost every
    program that imports the module a share of its start-up), and the reader
    of those names for the module's own code.

    |makers| maps each name to what makes its value. The first read makes it
    and stores it in |namespace|, the module's globals, so every later read
    sees that one object, and a value a caller put there (a patch) is what
    the module's code uses."""
    module = namespace["__name__"]

    def __getattr__(name):
        make = makers.get(name)
        if make is None:
            raise AttributeError("module %r has no attribute %r" % (module, name))
        return namespace.setdefault(name, make())

    def value(name):
        return namespace[name] if name in namespace else __getattr__(name)

    return __getattr__, value


__getattr__, _name = on_first_use(globals(), {
    "logging": lambda: __import__("logging"),
    # Both providers have always logged a refused credential under this name.
    "log": lambda: __import__("logging").getLogger("velna.providers.zov.provider"),
    "uuid": lambda: __import__("uuid"),
})

_CREDENTIAL_RULES = (
    ("password", "password_validator"),
    ("passphrase", "passphrase_validator"),
    ("reminder", "reminder_validator"),
)


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
            _name("log").info(message)
            raise ValueError(message)


class Part:
    """One part of a provider's operations (users, key files, keys), bound
    to the provider that owns it."""

    def __init__(self, owner):
        self._owner = owner


class AccountPart(Part):
    """The account operations that both providers perform alike."""

    def change_credentials(self, password, passphrase, reminder=None, password_validator=None,
                           reminder_validator=None, passphrase_validator=None):
        check_credentials(
            {"password": password, "passphrase": passphrase, "reminder": reminder},
            {"password_validator": password_validator, "reminder_validator": reminder_validator,
             "passphrase_validator": passphrase_validator})
        rekey(self._owner.session.user, password, passphrase,
              lambda sealed: self._owner.lockbox.update_or_create(sealed, reminder=reminder,
                                                                  passphrase=passphrase, password=password))


class LocalData:
    """The logged-in user's local data: the file store and the user's
    encrypted database. Both providers keep data locally through it.

    The database opens when it is first used after a login (``database``),
    so that a login costs no more than opening the key file.
    """

    _database = None

    def __init__(self, users, lockboxes, keys):
        self.user, self.lockbox, self.keys = users(self), lockboxes(self), keys(self)

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
            user_id = _name("uuid").UUID(str(r["userId"]))
            found = session.query(models.Key).filter_by(user_id=user_id, key_type=key_type, index=r["index"]).first()
            if found is None:
                session.add(models.Key(user_id=user_id, active=r["active"], key_type=key_type,
                                       pub_key=r["pubKey"].encode("ascii"), index=r["index"]))
        session.commit()

    def key_ring(self, user_id, records):
        """The public key ring of |user_id| made of its public-key records,
        which the logged-in user's database records as well."""
        from velna.crypto.keys import KeyRing

        ring = KeyRing(pub_keys=records, user_id=user_id)
        self.record_keys(records)
        return ring

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


__all__ = ["LocalData", "Part", "canonical", "public_records", "check_credentials", "rekey", "open_key_file",
           "user_of_key_file"]
