#!/usr/bin/env python3
"""Loopback HTTPS server for the Windows tests under Wine.

Usage: https_server.py CERT KEY PORT_FILE [DOCROOT]
Listens on 127.0.0.1 (a free port, written to PORT_FILE) until killed:
  /ok        200 "secure hello"
  /to-http   302 to http://127.0.0.1:<PORT>/ok (plain http: a client must refuse it)
  /<file>    200 with the bytes of DOCROOT/<file> when that file exists (the tests write them)
  other      404
"""
import http.server
import os
import ssl
import sys


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

    def do_GET(self):
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
                    self.send(200, f.read())
            else:
                self.send(404, b"nope")


def main():
    cert, key, port_file = sys.argv[1:4]
    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    server.docroot = sys.argv[4] if len(sys.argv) > 4 else ""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    with open(port_file, "w") as f:
        f.write(str(server.server_address[1]))
    server.serve_forever()


if __name__ == "__main__":
    main()
