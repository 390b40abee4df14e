"""A small HTTP server whose answers the test scripts through the path.

Run as a program: it listens on 127.0.0.1, prints its port on the first line
of standard output and serves until it is terminated.

A request to /s/<tag>/<step>,<step>,... takes the step of its turn on that
path (the first request the first step, and so on; the last step repeats).
A step is one of:

  <status>            that status with the body "ok"
  <status>:<n>        that status with a body of n bytes "x", Content-Length n
  <status>:<n>:<m>    Content-Length n but only m bytes of body, then close
  go:<path>           302 to <path> on this server
  stall               the request is read, then nothing is answered for 60 s

and, for answers that break their own framing or never end:

  chunked:<n>:<m>     Transfer-Encoding chunked, Content-Length n ("-": none),
                      then m bytes of body in chunks
  length:<text>:<m>   the Content-Length field reads <text> (percent-decoded,
                      so "%2C" is a comma), then m bytes of body, then close
  drip:<n>            Content-Length n, then 2 bytes a second
  endless             chunked, without Content-Length, a MiB after a MiB
                      until the client goes away
  object:<size>       an object of <size> bytes (byte i is i % 251) served
                      as a file server does: a Range header is answered
                      with 206 and the range clipped to the object's end,
                      or 416 when it starts past the end

GET /__log answers the JSON list of the requests seen since the last
POST /__reset: method, path, headers (in order) and the body's length.
"""
import json
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

lock = threading.Lock()
seen = []
turns = {}


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def read_body(self):
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            body = b""
            while True:
                size = int(self.rfile.readline().split(b";")[0], 16)
                if size == 0:
                    self.rfile.readline()
                    return body, True
                body += self.rfile.read(size)
                self.rfile.readline()
        return self.rfile.read(int(self.headers.get("Content-Length", 0))), False

    def send(self, status, body=b"", length=None, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body) if length is None else length))
        self.end_headers()
        self.wfile.write(body)
        self.wfile.flush()

    def handle_any(self):
        body, chunked = self.read_body()
        if self.path == "/__log":
            with lock:
                return self.send(200, json.dumps(seen).encode())
        if self.path == "/__reset":
            with lock:
                seen.clear()
                turns.clear()
            return self.send(200)
        with lock:
            seen.append({"method": self.command, "path": self.path, "headers": list(self.headers.items()),
                         "body_length": len(body), "chunked": chunked, "time": time.monotonic()})
            turn = turns.get(self.path, 0)
            turns[self.path] = turn + 1
        parts = self.path.split("/")
        if len(parts) < 4 or parts[1] != "s":
            return self.send(404, b"no script")
        steps = parts[3].split(",")
        step = steps[min(turn, len(steps) - 1)]
        if step == "stall":
            time.sleep(60)
            self.close_connection = True
            return
        if step.startswith(("chunked:", "length:", "drip:", "endless", "object:")):
            return self.hostile(step)
        if step.startswith("go:"):
            return self.send(302, headers=[("Location", "/" + step[3:].replace("~", "/"))])
        fields = step.split(":")
        status = int(fields[0])
        if len(fields) == 1:
            return self.send(status, b"ok")
        length = int(fields[1])
        sent = int(fields[2]) if len(fields) > 2 else length
        self.close_connection = sent != length
        return self.send(status, b"x" * sent, length=length)

    def chunks(self, total, size=1 << 20):
        block = b"x" * size
        while total > 0:
            n = min(total, size)
            self.wfile.write(b"%x\r\n" % n + block[:n] + b"\r\n")
            total -= n

    def hostile(self, step):
        kind, _, rest = step.partition(":")
        fields = rest.split(":")
        self.close_connection = True
        try:
            if kind == "chunked":
                self.send_response(200)
                self.send_header("Transfer-Encoding", "chunked")
                if fields[0] != "-":
                    self.send_header("Content-Length", fields[0])
                self.end_headers()
                self.chunks(int(fields[1]), size=64 << 10)
                self.wfile.write(b"0\r\n\r\n")
            elif kind == "length":
                self.send_response(200)
                self.send_header("Content-Length", urllib.parse.unquote(fields[0]))
                self.end_headers()
                self.wfile.write(b"x" * int(fields[1]))
            elif kind == "drip":
                self.send_response(200)
                self.send_header("Content-Length", fields[0])
                self.end_headers()
                for _ in range(int(fields[0]) // 2):
                    self.wfile.write(b"xx")
                    self.wfile.flush()
                    time.sleep(1)
            elif kind == "endless":
                self.send_response(200)
                self.send_header("Transfer-Encoding", "chunked")
                self.end_headers()
                while True:
                    self.chunks(1 << 20)
            elif kind == "object":
                self.serve_object(int(fields[0]))
            self.wfile.flush()
        except OSError:
            pass  # the client went away, as it should

    def serve_object(self, size):
        content = bytes(i % 251 for i in range(size))
        asked = self.headers.get("Range")
        if not asked:
            return self.send(200, content)
        first, _, last = asked[len("bytes="):].partition("-")
        first, last = int(first), min(int(last), size - 1)
        if first >= size:
            return self.send(416, headers=[("Content-Range", "bytes */%d" % size)])
        return self.send(206, content[first:last + 1],
                         headers=[("Content-Range", "bytes %d-%d/%d" % (first, last, size))])

    do_GET = do_PUT = do_POST = do_DELETE = handle_any


def main():
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
