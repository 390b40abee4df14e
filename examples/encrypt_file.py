"""Encrypts a file into a container blob and reads it back.

Usage: encrypt_file.py [FILE]   (without FILE, a sample text is used)

The blob holds a JSON header (here the file's name and size) and the file's
bytes, each encrypted with AES-256-CTR and authenticated with HMAC-SHA384.
"""
import os
import sys
import tempfile

import velna.crypto as crypto
import velna.crypto.aes  # noqa: F401  (containers reach AES through velna.crypto)
from velna.crypto.container import Container, ContainerKeys


def main(argv):
    if len(argv) > 1:
        with open(argv[1], "rb") as f:
            content = f.read()
        name = os.path.basename(argv[1])
    else:
        content = "A small secret, kept by velna. \u00e9\u00e8\n".encode("utf-8") * 4
        name = "sample.txt"

    container = Container(header={"name": name, "size": len(content)}, content=content)
    keys = container.encrypt()

    with tempfile.TemporaryDirectory() as tmp:
        blob_path = os.path.join(tmp, str(container.id) + ".vlna")
        keys_path = os.path.join(tmp, str(container.id) + ".keys")
        with open(blob_path, "wb") as f:
            f.write(container.data)
        with open(keys_path, "wb") as f:
            f.write(bytes(keys))

        with open(blob_path, "rb") as f:
            opened = Container(data=f.read())
        with open(keys_path, "rb") as f:
            opened.decrypt(ContainerKeys.from_bytes(f.read()))

    assert opened.id == container.id
    assert opened.content.data == content
    print("input:       %s, %d bytes, SHA-384 %s..." % (name, len(content), crypto.SHA384(content)[:16]))
    print("container:   %s" % container.id)
    print("blob:        %d bytes (232 + %d header + %d content)"
          % (container.length, len(container.header._data.encode()), len(content)))
    print("key blob:    %d bytes" % len(bytes(keys)))
    print("read back:   header %s, %d content bytes, identical" % (opened.header.data, len(opened.content.data)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
