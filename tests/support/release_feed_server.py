#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""A loopback HTTPS server that plays the release feed in every way the check must survive.

Usage: release_feed_server.py WORKDIR

Makes two private certificate authorities in WORKDIR (only "trusted-ca.pem" is meant to be
trusted, by the one client under test), then listens on 127.0.0.1 with three certificates:
  trusted    issued by the trusted authority for IP 127.0.0.1
  untrusted  issued by the other authority for IP 127.0.0.1
  wronghost  issued by the trusted authority for another name
and one plain HTTP listener, "plain". The first path segment picks the answer, e.g. GET /newer/releases/latest.json.

Standard output, one line each: "ca PATH", "port NAME NUMBER", then "ready"; afterwards
"request SCENARIO" (also "request plain SCENARIO" on the plain listener), "hop loop N" (the
Nth redirect of "loop" was followed), "sent SCENARIO BYTES" (whole answer written), "cut SCENARIO BYTES" (the
client went away after BYTES of body) and "handshake-failed NAME". Exits when standard input
closes, so it never outlives the test that started it.
"""

import http.server
import os
import ssl
import subprocess
import sys
import threading
import time

FEED = b'{"version":"9.1.0","mac_url":"https://quenlark.example/get/9.1.0","notes":"Faster."}'
HTML = b"<!doctype html><html><head><title>404 Not Found</title></head><body>Gone</body></html>"
CAP = 64 * 1024  # the largest body the client takes
HUGE_DECLARED = 1 << 40  # declared length of the endless body
HUGE_LIMIT = 1 << 30  # the server gives up after this much, so a client that never stops is seen
SLOW_FOR = 60.0  # seconds a stalled or trickling answer is kept up at most
PLAIN_PORT = [0]  # the plain HTTP listener, where "downgrade" points

print_lock = threading.Lock()


def say(*words):
    with print_lock:
        print(*words, flush=True)


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True)


def make_authority(workdir, name):
    key, cert = os.path.join(workdir, name + ".key"), os.path.join(workdir, name + ".pem")
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
            "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=" + name,
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    return key, cert


def make_leaf(workdir, name, authority, alt_name):
    key, cert = os.path.join(workdir, name + ".key"), os.path.join(workdir, name + ".pem")
    request, extensions = cert + ".csr", cert + ".ext"
    with open(extensions, "w", encoding="ascii") as f:
        f.write("subjectAltName=%s\nbasicConstraints=CA:FALSE\n"
                "keyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n" % alt_name)
    openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
            "-keyout", key, "-out", request, "-subj", "/CN=" + name)
    openssl("x509", "-req", "-in", request, "-CA", authority[1], "-CAkey", authority[0],
            "-CAcreateserial", "-days", "2", "-out", cert, "-extfile", extensions)
    return key, cert


class FeedHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 30

    def log_message(self, *args):
        pass

    def head(self, status, length, content_type="application/json", extra=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(length))
        self.send_header("Connection", "close")
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()

    def answer(self, scenario, status, body, content_type="application/json", extra=()):
        self.head(status, len(body), content_type, extra)
        self.wfile.write(body)
        say("sent", scenario, len(body))

    def do_GET(self):
        self.close_connection = True
        scenario = self.path.strip("/").split("/")[0]
        if isinstance(self.server, PlainServer):
            say("request plain", scenario)
        else:
            say("request", scenario)
        play = getattr(self, "play_" + scenario.replace("-", "_"), None)
        try:
            if play is None:
                self.answer(scenario, 404, HTML, "text/html")
            else:
                play(scenario)
        except OSError:
            pass

    def play_newer(self, scenario):
        self.answer(scenario, 200, FEED)

    def play_missing(self, scenario):
        self.answer(scenario, 404, HTML, "text/html")

    def play_failing(self, scenario):
        self.answer(scenario, 500, FEED)

    def play_not_json(self, scenario):
        self.answer(scenario, 200, b"Service temporarily unavailable", "text/plain")

    def play_moved(self, scenario):
        self.answer(scenario, 302, HTML, "text/html",
                    [("Location", "/newer/releases/latest.json")])

    def play_loop(self, scenario):
        # /loop/N/... sends on to /loop/N+1/...: the deepest hop shows how many were followed.
        hop = int(self.path.split("/")[2]) if self.path.split("/")[2].isdigit() else 0
        say("hop", scenario, hop)
        self.answer(scenario, 302, HTML, "text/html",
                    [("Location", f"/loop/{hop + 1}/releases/latest.json")])

    def play_downgrade(self, scenario):
        self.answer(scenario, 302, HTML, "text/html",
                    [("Location", f"http://127.0.0.1:{PLAIN_PORT[0]}/newer/releases/latest.json")])

    def play_encoding(self, scenario):
        self.answer(scenario, 200, self.headers.get("Accept-Encoding", "").encode(), "text/plain")

    def play_full(self, scenario):
        self.answer(scenario, 200, b"x" * CAP, "text/plain")

    def play_over(self, scenario):
        self.answer(scenario, 200, b"x" * (CAP + 1), "text/plain")

    def play_cut(self, scenario):
        self.head(200, len(FEED))
        self.wfile.write(FEED[: len(FEED) // 2])
        say("cut", scenario, len(FEED) // 2)

    def play_huge(self, scenario):
        self.head(200, HUGE_DECLARED)
        chunk = b'{"version":"9.1.0","mac_url":"https://quenlark.example/","pad":"'
        chunk += b"x" * (16384 - len(chunk))
        sent = 0
        try:
            while sent < HUGE_LIMIT:
                self.wfile.write(chunk)
                sent += len(chunk)
        except OSError:
            say("cut", scenario, sent)
            return
        say("sent", scenario, sent)

    def play_stalled(self, scenario):
        self.head(200, len(FEED))
        self.wfile.write(FEED[:10])
        self.wait_for_close(scenario, 10)

    def play_trickle(self, scenario):
        self.head(200, len(FEED) * 1000)
        deadline = time.monotonic() + SLOW_FOR
        sent = 0
        try:
            while time.monotonic() < deadline:
                self.wfile.write(b" ")
                sent += 1
                time.sleep(0.05)
        except OSError:
            say("cut", scenario, sent)
            return
        say("sent", scenario, sent)

    def wait_for_close(self, scenario, sent):
        self.connection.settimeout(SLOW_FOR)
        try:
            while self.connection.recv(1024):
                pass
        except OSError:
            pass
        say("cut", scenario, sent)


class PlainServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), FeedHandler)
        self.name = "plain"


class TlsServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, name, key, cert):
        super().__init__(("127.0.0.1", 0), FeedHandler)
        self.name = name
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(cert, key)

    # The handshake runs on the request's own thread, so a bad client holds up nobody else.
    def finish_request(self, request, client_address):
        request.settimeout(30)
        try:
            tls = self.context.wrap_socket(request, server_side=True)
        except OSError:
            say("handshake-failed", self.name)
            return
        self.RequestHandlerClass(tls, client_address, self)

    def handle_error(self, request, client_address):
        pass


def main():
    workdir = sys.argv[1]
    trusted = make_authority(workdir, "trusted-ca")
    other = make_authority(workdir, "other-ca")
    servers = [
        TlsServer("trusted", *make_leaf(workdir, "trusted", trusted, "IP:127.0.0.1")),
        TlsServer("untrusted", *make_leaf(workdir, "untrusted", other, "IP:127.0.0.1")),
        TlsServer("wronghost", *make_leaf(workdir, "wronghost", trusted, "DNS:elsewhere.invalid")),
        PlainServer(),
    ]
    PLAIN_PORT[0] = servers[-1].server_address[1]
    say("ca", trusted[1])
    for server in servers:
        say("port", server.name, server.server_address[1])
        threading.Thread(target=server.serve_forever, daemon=True).start()
    say("ready")
    sys.stdin.buffer.read()
    os._exit(0)


if __name__ == "__main__":
    main()
