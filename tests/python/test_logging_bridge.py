"""The core's log lines reach the standard logging module under their names."""
import logging
import subprocess
import sys

import pytest

import velna.crypto.p384 as p384


def test_core_lines_go_through_logging_getlogger_looked_up_at_each_call(monkeypatch):
    seen = []
    real = logging.getLogger

    def spy(name=None):
        seen.append(name)
        return real(name)

    monkeypatch.setattr(logging, "getLogger", spy)
    with pytest.raises(ValueError):
        p384.load_pem_public_key(b"junk")
    assert "velna.crypto.p384" in seen


def test_a_handler_on_the_named_logger_receives_the_line_as_plain_text():
    records = []

    class Keep(logging.Handler):
        def emit(self, record):
            records.append(record)

    logger = logging.getLogger("velna.crypto.p384")
    handler = Keep(level=logging.DEBUG)
    old = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    try:
        with pytest.raises(ValueError):
            p384.load_der_public_key(b"%s %d")
    finally:
        logger.removeHandler(handler)
        logger.setLevel(old)
    assert [(r.levelno, r.getMessage(), r.args) for r in records] == [
        (logging.INFO, "Public Key is not an EC P384 key in DER format.", ())
    ]


def test_interpreter_exits_cleanly_after_using_every_module():
    code = (
        "import velna.crypto as c, velna.crypto.aes, velna.crypto.hmac, velna.crypto.ecdhe, velna.utils\n"
        "k = c.p384.generate_private_key()\n"
        "c.ecdsa.sign(k, b'x')\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=60)
    assert result.returncode == 0, result.stderr
