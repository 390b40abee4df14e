"""Shares an encrypted file between two users of velna.

A small application on top of the library: two users are registered, the
first encrypts a file into a container, grants the second access with a
recipient key blob and stores the container blob in the local file store and
its rows in the database; then the second user logs in with the backup
passphrase, finds the access entry, opens the container and checks that the
file came back unchanged.

Usage:
    share_file.py --root DIR [--server URL [--api-key KEY]] [--file FILE] (grant|open|all)

"grant" registers the users and shares the file; "open" opens it as the
second user; "all" does both in one process. Between the two steps nothing
survives but what lies under DIR. --server runs the accounts on a key server
instead of the local store.

The library is initialised with fips=False: FIPS mode needs an OpenSSL FIPS
provider, and the stock OpenSSL of Debian has none, so asking for it would
stop the library at initialisation.
"""
import argparse
import base64
import datetime
import json
import os
import sys

import velna.crypto as crypto
import velna.crypto.aes  # noqa: F401  (containers reach AES through velna.crypto)
import velna.portal as portal
import velna.providers as providers
import velna.user as user
from velna.access import Access
from velna.crypto.container import Container
from velna.permissions import Permissions
from velna.providers.zov import models

API_KEY = "d3a0c9f4-5b1e-4c8a-9e2f-7a6b5c4d3e21"
PEOPLE = {
    "alice": {"password": "Alice-Passw0rd", "passphrase": "Alice keeps 4 cats", "reminder": "the cats"},
    "bob": {"password": "Bob-Passw0rd", "passphrase": "Bob rides 2 bikes", "reminder": "the bikes"},
}
SAMPLE = "A small secret, shared through velna. \u00e9\u00e8\n".encode("utf-8") * 4
READ_ONLY = 0b00000001


def say(text):
    print(text, flush=True)


def state_path(root):
    return os.path.join(root, "example-state.json")


def initialize(args):
    options = {"root_dir": args.root}
    if args.server:
        options["server_url"] = args.server
    portal.initialize(args.api_key, fips=False, **options)
    where = "key server %s" % args.server if args.server else "local store"
    say("initialized: accounts on the %s, files under %s" % (where, args.root))


def now():
    return datetime.datetime.now(datetime.timezone.utc)


def inbox_seed(user_id):
    return ("%sInbox" % user_id).encode("utf-8")


def grant(args):
    initialize(args)
    ids = {}
    for name in ("alice", "bob"):
        p = PEOPLE[name]
        new = user.create(p["password"], p["reminder"], p["passphrase"])
        ids[name] = new.id
        say("created %s: %s" % (name, new.id))
        portal.logout()

    alice = portal.login(ids["alice"], password=PEOPLE["alice"]["password"])
    say("logged in as alice with her password")

    if args.file:
        with open(args.file, "rb") as f:
            content = f.read()
        name = os.path.basename(args.file)
    else:
        content, name = SAMPLE, "sample.txt"
    container = Container(header={"name": name, "size": len(content)}, content=content)
    container.encrypt()
    say("encrypted %s (%d bytes) into container %s" % (name, len(content), container.id))

    with providers.get() as provider:
        store, db = provider.store, provider.database
        location = store.write_bytes(container.data, seed=container.id.bytes)
        say("stored the container blob (%d bytes) in the file store" % len(container.data))

        # Alice's own entry, and Bob's, each with a key blob for its holder.
        entries = {}
        for holder, permissions in ((ids["alice"], Permissions()), (ids["bob"], Permissions(READ_ONLY))):
            entry = Access(holder, permissions=permissions)
            entry.container = container
            entries[holder] = entry
            entry.key_blob  # sealed now, for the holder's derivation key
        say("granted bob read access with a recipient key blob of %d bytes"
            % len(entries[ids["bob"]].key_blob.to_bytes()))

        db.session.add(models.Container(id=container.id, type="file", length=container.length,
                                        created_at=now(), created_by=alice.id, zov_location=str(location),
                                        synced_at=now(), portion="all"))
        for holder, entry in entries.items():
            db.session.add(models.ContainerAccess(user_id=holder, container_id=container.id, created_at=now(),
                                                  created_by=alice.id, permissions=int(entry.permissions),
                                                  key_blob=entry.key_blob.to_bytes()))
        db.session.commit()
        say("stored the container row and %d access rows in alice's database" % len(entries))

        # Bob's database is sealed under Bob's key: the share reaches him
        # through his inbox in the file store, which holds nothing secret.
        share = {"containerId": str(container.id), "location": str(location), "length": container.length,
                 "permissions": int(entries[ids["bob"]].permissions), "sender": str(alice.id),
                 "keyBlob": entries[ids["bob"]].key_blob.b64.decode("ascii")}
        store.write_bytes(json.dumps([share]).encode("utf-8"), seed=inbox_seed(ids["bob"]))

    portal.logout()
    say("logged out")
    with open(state_path(args.root), "w") as f:
        json.dump({"ids": {k: str(v) for k, v in ids.items()}, "sha384": crypto.SHA384(content)}, f)
    return 0


def collect_inbox(provider, me):
    """Moves the shares of |me|'s inbox into |me|'s own database."""
    store, db = provider.store, provider.database
    path = store.get_file_path(seed=inbox_seed(me.id))
    if not path.exists():
        return 0
    shares = json.loads(store.get(seed=inbox_seed(me.id)).decode("utf-8"))
    import uuid

    for share in shares:
        container_id = uuid.UUID(share["containerId"])
        if db.session.get(models.Container, container_id) is None:
            db.session.add(models.Container(id=container_id, type="file", length=share["length"],
                                            created_by=uuid.UUID(share["sender"]),
                                            zov_location=share["location"], synced_at=now(), portion="all"))
            db.session.add(models.ContainerAccess(user_id=me.id, container_id=container_id,
                                                  created_by=uuid.UUID(share["sender"]), created_at=now(),
                                                  permissions=share["permissions"],
                                                  key_blob=base64.b64decode(share["keyBlob"])))
    db.session.commit()
    store.delete(seed=inbox_seed(me.id))
    return len(shares)


def open_shared(args):
    initialize(args)
    with open(state_path(args.root)) as f:
        state = json.load(f)
    bob_id = state["ids"]["bob"]
    say("bob's reminder: %s" % user.get_backup_reminder(bob_id))
    bob = portal.login(bob_id, passphrase=PEOPLE["bob"]["passphrase"])
    say("logged in as bob with his backup passphrase")

    with providers.get() as provider:
        say("moved %d share(s) from bob's inbox into his database" % collect_inbox(provider, bob))
        row = provider.database.session.query(models.ContainerAccess).filter_by(user_id=bob.id).first()
        entry = row.make_class()
        say("found bob's access row for container %s (permissions %d)" % (row.container_id, int(entry.permissions)))
        sender_keys = provider.keys.get(row.created_by)
        keys = entry.key_blob.get_container_keys(recip_keys=bob.keys, sender_keys=sender_keys)
        with open(row.container.zov_location, "rb") as f:
            opened = Container(data=f.read())
        opened.decrypt(keys)

    content = opened.content.data
    checksum = crypto.SHA384(content)
    same = checksum == state["sha384"]
    # The whole digest, to compare with sha384sum of the file that was shared.
    say("opened %s: %d bytes, SHA-384 %s" % (opened.header.data["name"], len(content), checksum))
    say("checksum %s the original" % ("matches" if same else "DOES NOT MATCH"))
    portal.logout()
    say("logged out")
    return 0 if same else 1


def main(argv):
    parser = argparse.ArgumentParser(description="Shares an encrypted file between two velna users.")
    parser.add_argument("--root", required=True, help="the local store's root directory")
    parser.add_argument("--server", help="the key server's address; without it the accounts are local")
    parser.add_argument("--api-key", default=API_KEY, help="the API key the server issued")
    parser.add_argument("--file", help="the file to share (a sample text without it)")
    parser.add_argument("step", choices=("grant", "open", "all"))
    args = parser.parse_args(argv[1:])
    if args.step == "grant":
        return grant(args)
    if args.step == "open":
        return open_shared(args)
    return grant(args) or open_shared(args)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
