"""The README's "From Python" snippets run as written, one after the other,
in one fresh interpreter, as a reader would paste them: names bound by one
snippet serve the next. Only the places that stand for the reader's own are
replaced: the store's folder by a temporary one, the object store by
Debian's nginx on 127.0.0.1.
"""
import json
import os
import re
import subprocess
import sys

import pytest

from nginx_store import NginxStore

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# Each snippet runs under its own name, so that a traceback says which one
# failed and where.
RUNNER = """
import json, sys
namespace = {"__name__": "__main__"}
for number, code in enumerate(json.load(sys.stdin), 1):
    exec(compile(code, "README.md snippet %d" % number, "exec"), namespace)
    print("snippet %d ran" % number, flush=True)
"""


def python_snippets():
    with open(os.path.join(REPO, "README.md"), encoding="utf-8") as f:
        text = f.read()
    section = re.search(r"^## From Python\n(.*?)^## ", text, re.S | re.M).group(1)
    return re.findall(r"^```python\n(.*?)^```$", section, re.S | re.M)


@pytest.fixture
def storage():
    store = NginxStore()
    yield store
    store.stop()


def test_from_python_snippets_run_in_order_in_one_interpreter(tmp_path, storage):
    snippets = python_snippets()
    assert len(snippets) >= 6, "the README's Python snippets were not found"
    places = {'"/var/lib/myapp"': repr(str(tmp_path / "store")),
              '"http://storage.example/bucket"': repr(storage.url + "/bucket")}
    for place in places:
        assert any(place in code for code in snippets), "the README no longer uses %s" % place
    for place, ours in places.items():
        snippets = [code.replace(place, ours) for code in snippets]

    velna_root = os.path.dirname(os.path.dirname(os.path.abspath(__import__("velna").__file__)))
    proc = subprocess.run([sys.executable, "-c", RUNNER], input=json.dumps(snippets), capture_output=True,
                          text=True, timeout=600, cwd=str(tmp_path), env=dict(os.environ, PYTHONPATH=velna_root))
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.splitlines()[-1] == "snippet %d ran" % len(snippets)
    # What the snippets stored is where they said: the blob in the object
    # store, the key files and databases in the temporary local store.
    assert len(storage.read("bucket/blob")) > 100
    assert os.listdir(tmp_path / "store")
