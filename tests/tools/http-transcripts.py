#!/usr/bin/env python3
"""Runs the HTTP transcripts against servers of this test's own.

Starts an HTTP server and two HTTPS servers on 127.0.0.1 (ports chosen by
the system), each of the latter with a self-signed certificate made now by
openssl, finds a port on which nothing listens, and runs each
tests/http/*.transcript with @PORT@, @TLS-PORT@, @UNTRUSTED-PORT@,
@CLOSED-PORT@ and @TMP@ replaced. The program is told to trust the first
certificate through SSL_CERT_FILE, not the second, and its cache folder is
a temporary one. No request leaves 127.0.0.1.

Routes (any method):
  /x          "hello" and a line end, text/plain
  /missing    404 with a short body
  /echo       200; the request's body sent back, its method in X-Method and
              the names of the headers it came with in X-Received
  /redirect   302 to /x, with a header that must not reach the result
  /repeat     the header Set-Cookie twice
  /big        50 MB of a repeating pattern
  /cut        claims 1000 bytes, sends 10 and closes
  /counted    "counted" and a line end; every request to it is counted
  /count      the count so far
  /script     a small script, /data the text of a block
  /target...  the request's target (path and query) exactly as it came
  any other   400, naming the path as it came
"""
import argparse
import glob
import http.server
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
BIG = 50 * 1024 * 1024
PATTERN = bytes(range(256))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    counter = 0
    lock = threading.Lock()

    def log_message(self, *args):
        pass

    def reply(self, status, body=b"", headers=(), content_type="text/plain"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def handle_any(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        path = self.path
        if path == "/x":
            self.reply(200, b"hello\n")
        elif path == "/missing":
            self.reply(404, b"not here\n")
        elif path == "/echo":
            received = ",".join(self.headers.keys())
            self.reply(200, body, [("X-Method", self.command), ("X-Received", received)],
                       "application/octet-stream")
        elif path == "/redirect":
            self.reply(302, b"", [("Location", "/x"), ("X-Hop", "1")])
        elif path == "/repeat":
            self.reply(200, b"ok", [("Set-Cookie", "a=1"), ("Set-Cookie", "b=2")])
        elif path == "/big":
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(BIG))
            self.end_headers()
            chunk = PATTERN * 4096
            for _ in range(BIG // len(chunk)):
                self.wfile.write(chunk)
        elif path == "/cut":
            self.send_response(200)
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.write(b"0123456789")
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
        elif path == "/counted":
            with Handler.lock:
                Handler.counter += 1
            self.reply(200, b"counted\n")
        elif path == "/count":
            self.reply(200, str(Handler.counter).encode())
        elif path == "/script":
            self.reply(200, b"Vum [Title: \"remote\"]\nremote-value: 6 * 7\n")
        elif path == "/data":
            self.reply(200, b"[1 two \"three\"]")
        elif path.startswith("/target"):
            self.reply(200, path.encode())
        else:
            self.reply(400, b"unknown route: " + path.encode() + b"\n")


for method in ("GET", "HEAD", "POST", "PUT", "DELETE", "PATCH", "OPTIONS", "FROB"):
    setattr(Handler, "do_" + method, Handler.handle_any)


def serve(server):
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    return server


def closed_port():
    # Bound and let go: nothing listens there, so a connection is refused.
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_certificate(folder, name="cert"):
    key = os.path.join(folder, name + "-key.pem")
    cert = os.path.join(folder, name + ".pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", key, "-out", cert],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return key, cert


def secure_server(cert, key):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    return serve(server)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("transcripts", nargs="*")
    args = parser.parse_args()
    transcripts = args.transcripts or sorted(glob.glob(os.path.join(HERE, "..", "http", "*.transcript")))

    with tempfile.TemporaryDirectory(prefix="vum-http-") as tmp:
        key, cert = make_certificate(tmp)
        plain = serve(http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler))
        secure = secure_server(cert, key)
        untrusted = secure_server(*reversed(make_certificate(tmp, "untrusted")))
        replacements = {
            "@PORT@": str(plain.server_address[1]),
            "@TLS-PORT@": str(secure.server_address[1]),
            "@UNTRUSTED-PORT@": str(untrusted.server_address[1]),
            "@CLOSED-PORT@": str(closed_port()),
            "@TMP@": tmp,
        }
        env = dict(os.environ, SSL_CERT_FILE=cert, XDG_CACHE_HOME=os.path.join(tmp, "cache"))
        failed = 0
        for template in transcripts:
            with open(template, encoding="utf-8") as f:
                text = f.read()
            for k, v in replacements.items():
                text = text.replace(k, v)
            session = os.path.join(tmp, os.path.basename(template))
            with open(session, "w", encoding="utf-8") as f:
                f.write(text)
            result = subprocess.run([sys.executable, os.path.join(HERE, "run-transcript.py"),
                                     "--program", args.program, session], env=env)
            if result.returncode != 0:
                print(f"FAILED: {os.path.basename(template)}")
                failed += 1
        plain.shutdown()
        secure.shutdown()
        untrusted.shutdown()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
