"""Sealing and opening a recipient key blob, against the public-key
operations they cannot avoid, each called alone through the same package:

  sealing  (KIV from container keys and two key rings)
           vs one key generation + one ECDH + one ECDSA signature
  opening  (KIV.get_container_keys with the sender's ring)
           vs one ECDH + one ECDSA verification

Target: each ratio at most 1.15. Both sides of a ratio run in turns in one
run (see timing.py), so a change in the machine's load hits them alike.

Usage: PYTHONPATH=<build>/python /usr/bin/python3 bench/python/bench_access.py [--quick]
"""

import os
import sys
import uuid

import timing

import velna.crypto as crypto
import velna.crypto.ecdhe as ecdhe
import velna.crypto.ecdsa as ecdsa
from velna.crypto.container import ContainerKeys
from velna.crypto.keys import AuthKey, DerivationKey, KeyRing
from velna.crypto.kiv import KIV
from velna.crypto.lockbox import Lockbox

QUICK = "--quick" in sys.argv
REPEATS = 3 if QUICK else 9
SECONDS_PER_REPEAT = 0.2 if QUICK else 0.5
TARGET = 1.15


def user():
    """A user's own ring (from a new key file) and the ring others see."""
    ident = uuid.uuid4()
    signing, derivation = AuthKey(), DerivationKey()
    public = KeyRing(pub_keys=[
        {"keyType": kind, "pubKey": crypto.to_pem_public(k.public).decode(), "index": 0,
         "active": True} for kind, k in (("auth", signing), ("derivation", derivation))],
        user_id=ident)
    own = KeyRing(lockbox=Lockbox(signing_key=signing, derivation_key=derivation, user_id=ident))
    return own, public


def main():
    sender, sender_public = user()
    recipient, recipient_public = user()
    keys = ContainerKeys()
    container_id = uuid.uuid4()
    blob = KIV(container_id=container_id, container_keys=keys, sender_keys=sender,
               recip_keys=recipient_public)
    data = bytes(keys)

    signing_key = sender["signingKeys"][0].private
    signing_public = sender_public["signingKeys"][0].public
    derivation_key = recipient["derivationKeys"][0].private
    derivation_public = recipient_public["derivationKeys"][0].public
    ephemeral_public = crypto.p384.generate_private_key().public_key()
    signed = os.urandom(500)
    signature = ecdsa.sign(signing_key, signed)

    def seal():
        KIV(container_id=container_id, container_keys=keys, sender_keys=sender,
            recip_keys=recipient_public)

    def seal_public_key_work():
        ephemeral = crypto.p384.generate_private_key()
        ecdhe.exchange(ephemeral, derivation_public)
        ecdsa.sign(signing_key, data)

    def open_():
        blob.get_container_keys(recipient, sender_keys=sender_public)

    def open_public_key_work():
        ecdhe.exchange(derivation_key, ephemeral_public)
        ecdsa.verify(signing_public, signed, signature)

    for label, variants in (("sealing", [("blob", seal), ("alone", seal_public_key_work)]),
                            ("opening", [("blob", open_), ("alone", open_public_key_work)])):
        best = timing.best_seconds(variants, REPEATS, SECONDS_PER_REPEAT)
        ratio = best["blob"] / best["alone"]
        verdict = "ok" if ratio <= TARGET else "OVER TARGET"
        print("%-8s blob %8.1f us   public-key work alone %8.1f us   ratio %.3f (target %.2f) %s"
              % (label, best["blob"] * 1e6, best["alone"] * 1e6, ratio, TARGET, verdict))


if __name__ == "__main__":
    main()
