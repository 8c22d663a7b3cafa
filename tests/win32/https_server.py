#!/usr/bin/env python3
"""Loopback HTTPS server for the Windows tests under Wine.

Usage: https_server.py CERT KEY PORT_FILE [DOCROOT [PORT]]
Listens on 127.0.0.1 (PORT, or a free port when 0 or not given; written to PORT_FILE) until killed:
  /ok        200 "secure hello"
  /to-http   302 to http://127.0.0.1:<PORT>/ok (plain http: a client must refuse it)
  /resumable?length=N&cuts=A,B&key=K[&times=T][&ignore-range=1]
             N bytes (i % 256) with ETag "v1", honouring Range and If-Range with a 206; a request
             that starts before a cut offset is hung up there (only in the first T for key K)
  /log?key=K one line per /resumable request for key K: "<status> <Range or -> <If-Range or ->"
  /<file>    200 with the bytes of DOCROOT/<file> when that file exists (the tests write them);
             with ?pieces=N&pause=MS the body goes out in N pieces MS milliseconds apart (a slow line)
  other      404
"""
import http.server
import os
import socket
import ssl
import sys
import time
import urllib.parse


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send(self, status, body=b"", headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    def resumable(self, q):
        key = q.get("key", "")
        counts = self.server.counts
        counts[key] = counts.get(key, 0) + 1
        length = int(q.get("length", "0"))
        asked = self.headers.get("Range", "")
        if_range = self.headers.get("If-Range", "")
        start = 0
        if asked.startswith("bytes=") and asked.endswith("-") and not q.get("ignore-range"):
            if not if_range or if_range == '"v1"':
                start = int(asked[6:-1])
        headers = [("ETag", '"v1"'), ("Content-Length", str(length - start)), ("Connection", "close")]
        if start:
            headers.append(("Content-Range", "bytes %d-%d/%d" % (start, length - 1, length)))
        status = 206 if start else 200
        self.server.log.setdefault(key, []).append("%d %s %s" % (status, asked or "-", if_range or "-"))
        cuts = [int(c) for c in q.get("cuts", "").split(",") if c]
        if "times" in q and counts[key] > int(q["times"]):
            cuts = []
        end = min([c for c in cuts if c > start] + [length])
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(bytes(i % 256 for i in range(start, end)))
        self.wfile.flush()
        if end < length:
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self.close_connection = True

    def slowly(self, body, pieces, pause_ms):
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.flush()
        size = max(1, -(-len(body) // max(1, pieces)))
        for start in range(0, len(body), size):
            if start:
                time.sleep(pause_ms / 1000.0)
            try:
                self.wfile.write(body[start:start + size])
                self.wfile.flush()
            except OSError:
                break   # the client gave up (a cancelled download)
        self.close_connection = True

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        q = {k: v[-1] for k, v in urllib.parse.parse_qs(url.query).items()}
        if url.path == "/resumable":
            return self.resumable(q)
        if url.path == "/log":
            lines = self.server.log.get(q.get("key", ""), [])
            return self.send(200, "".join(line + "\n" for line in lines).encode())
        if self.path == "/ok":
            self.send(200, b"secure hello")
        elif self.path == "/to-http":
            port = self.server.server_address[1]
            self.send(302, headers=[("Location", "http://127.0.0.1:%d/ok" % port)])
        else:
            root = self.server.docroot
            name = self.path.split("?", 1)[0].lstrip("/")
            path = os.path.realpath(os.path.join(root, name)) if root else ""
            if root and path.startswith(os.path.realpath(root) + os.sep) and os.path.isfile(path):
                with open(path, "rb") as f:
                    body = f.read()
                if "pieces" in q:
                    return self.slowly(body, int(q["pieces"]), int(q.get("pause", "0")))
                self.send(200, body)
            else:
                self.send(404, b"nope")


def main():
    cert, key, port_file = sys.argv[1:4]
    port = int(sys.argv[5]) if len(sys.argv) > 5 else 0
    server = http.server.HTTPServer(("127.0.0.1", port), Handler)
    server.docroot = sys.argv[4] if len(sys.argv) > 4 else ""
    server.counts = {}
    server.log = {}
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    with open(port_file, "w") as f:
        f.write(str(server.server_address[1]))
    server.serve_forever()


if __name__ == "__main__":
    main()
