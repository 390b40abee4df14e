"""velna: client SDK for encrypted data containers."""
