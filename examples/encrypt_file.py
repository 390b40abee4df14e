"""Encrypts a file's bytes with AES-256-CTR and HMAC-SHA384, then reads them back.

Usage: encrypt_file.py [FILE]   (without FILE, a sample text is used)
"""
import os
import sys
import tempfile

import velna.crypto as crypto
import velna.crypto.aes as aes
import velna.crypto.hmac as hmac


def main(argv):
    if len(argv) > 1:
        with open(argv[1], "rb") as f:
            plaintext = f.read()
        name = argv[1]
    else:
        plaintext = "A small secret, kept by velna. \u00e9\u00e8\n".encode("utf-8") * 4
        name = "(sample text)"

    cipher_key = aes.create_key()
    mac_key = hmac.generate_key()
    iv = aes.create_iv()
    ciphertext = aes.encrypt(data=plaintext, cipher_key=cipher_key, iv=iv)
    tag = hmac.digest(mac_key, ciphertext)

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "sealed.bin")
        with open(path, "wb") as f:
            f.write(iv + tag + ciphertext)
        with open(path, "rb") as f:
            sealed = f.read()

    iv2, tag2, body = sealed[:16], sealed[16:64], sealed[64:]
    hmac.verify(mac_key, body, tag2)
    recovered = aes.decrypt(data=body, cipher_key=cipher_key, iv=iv2)
    assert recovered == plaintext

    print("input:       %s, %d bytes, SHA-384 %s..." % (name, len(plaintext), crypto.SHA384(plaintext)[:16]))
    print("sealed:      %d bytes (16 IV + 48 HMAC + %d ciphertext)" % (len(sealed), len(body)))
    print("round trip:  ok, %d bytes recovered" % len(recovered))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
