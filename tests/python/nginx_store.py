"""Object storage for the tests and benchmarks: Debian's nginx serving a
temporary folder, with ranged GET and PUT (its WebDAV module).

The configuration is written at start into the folder, and nginx runs in the
foreground as the current user with its pid file, logs and temporary files
there too, so nothing outside the folder is touched.
"""
import os
import shutil
import socket
import subprocess
import tempfile
import time

NGINX = shutil.which("nginx") or "/usr/sbin/nginx"

CONFIG = """\
{user}
worker_processes 1;
pid {root}/nginx.pid;
error_log {root}/error.log warn;
events {{ worker_connections 256; }}
http {{
    access_log off;
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    client_body_temp_path {root}/tmp/body;
    proxy_temp_path {root}/tmp/proxy;
    fastcgi_temp_path {root}/tmp/fastcgi;
    uwsgi_temp_path {root}/tmp/uwsgi;
    scgi_temp_path {root}/tmp/scgi;
    server {{
        listen 127.0.0.1:{port};
        root {root}/data;
        location / {{
            dav_methods PUT;
            create_full_put_path on;
            dav_access user:rw;
            client_max_body_size 0;
            client_body_buffer_size 1m;
        }}
{locations}
    }}
}}
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, process, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError("server exited with status %s" % process.returncode)
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return
        except OSError:
            time.sleep(0.02)
    raise RuntimeError("server did not listen on port %d" % port)


class NginxStore:
    """One nginx instance; |url| is its base address, |data| the served folder."""

    def __init__(self, locations=""):
        """|locations|: further location blocks of the server, as nginx
        configuration text ("{root}" stands for the served folder)."""
        self.root = tempfile.mkdtemp(prefix="velna-nginx-")
        self.data = os.path.join(self.root, "data")
        os.makedirs(self.data)
        os.makedirs(os.path.join(self.root, "tmp"))
        self.port = free_port()
        self.url = "http://127.0.0.1:%d" % self.port
        self.config = os.path.join(self.root, "nginx.conf")
        with open(self.config, "w") as f:
            f.write(CONFIG.format(root=self.root, port=self.port, user="user root;" if os.geteuid() == 0 else "",
                                  locations=locations.replace("{root}", self.data)))
        self.process = subprocess.Popen(
            [NGINX, "-p", self.root, "-c", self.config, "-g", "daemon off;"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            wait_for_port(self.port, self.process)
        except Exception:
            self.stop()
            raise

    def path(self, name):
        return os.path.join(self.data, name)

    def write(self, name, content):
        with open(self.path(name), "wb") as f:
            f.write(content)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stderr.close()
        shutil.rmtree(self.root, ignore_errors=True)
