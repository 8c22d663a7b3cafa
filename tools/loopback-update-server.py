#!/usr/bin/env python3
"""A small HTTPS update server on 127.0.0.1 for the end-to-end tests and the demo.

usage: loopback-update-server.py --root DIR --certs DIR [--port N] [--parent PID]

Serves the files under --root (for example updates/releases.json and the packages) over HTTPS.
The certificate authority and the server certificate for 127.0.0.1 are made in --certs when
they are missing (ca.pem, server.pem, server.key); a client trusts the server with
SSL_CERT_FILE=<certs>/ca.pem. Prints "ready <port>" once it accepts connections. With --parent
it ends by itself once that process has gone (a test that died cannot leave it behind).
"""
import argparse
import functools
import http.server
import os
import ssl
import subprocess
import sys
import threading
import time


def make_certificates(folder):
    ca, cert, key = (os.path.join(folder, n) for n in ("ca.pem", "server.pem", "server.key"))
    if all(os.path.exists(p) for p in (ca, cert, key)):
        return cert, key
    os.makedirs(folder, exist_ok=True)
    ca_key = os.path.join(folder, "ca.key")
    csr = os.path.join(folder, "server.csr")
    ext = os.path.join(folder, "server.ext")
    with open(ext, "w") as out:
        out.write("subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n"
                  "keyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n")
    quiet = dict(check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca_key, "-out", ca,
                    "-days", "30", "-subj", "/CN=Morvell Loopback Test CA",
                    "-addext", "basicConstraints=critical,CA:TRUE",
                    "-addext", "keyUsage=critical,keyCertSign,cRLSign"], **quiet)
    subprocess.run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
                    "-subj", "/CN=127.0.0.1"], **quiet)
    subprocess.run(["openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial",
                    "-out", cert, "-days", "30", "-extfile", ext], **quiet)
    return cert, key


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format, *args):
        pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--certs", required=True)
    parser.add_argument("--port", type=int, default=47443)
    parser.add_argument("--parent", type=int, default=0)
    args = parser.parse_args()
    if args.parent:
        def watch_parent():
            while True:
                try:
                    os.kill(args.parent, 0)
                except OSError:
                    os._exit(0)
                time.sleep(0.5)
        threading.Thread(target=watch_parent, daemon=True).start()
    cert, key = make_certificates(os.path.abspath(args.certs))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    handler = functools.partial(QuietHandler, directory=os.path.abspath(args.root))
    http.server.ThreadingHTTPServer.allow_reuse_address = True
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), handler)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    print("ready %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
