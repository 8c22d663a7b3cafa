#!/usr/bin/env python3
"""Serves one file to every GET on 127.0.0.1, for the download benchmark.

usage: file_server.py FILE [--cert PEM --key PEM]

Plain HTTP sends the file with sendfile; with a certificate the file goes out over TLS in
1 MiB writes. Prints "ready <port>" once it accepts connections.
"""
import argparse
import os
import socket
import socketserver
import ssl
import sys


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        conn = self.request
        head = b""
        while b"\r\n\r\n" not in head:
            piece = conn.recv(4096)
            if not piece:
                return
            head += piece
        size = os.path.getsize(self.server.file)
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                     b"Content-Length: %d\r\nConnection: close\r\n\r\n" % size)
        with open(self.server.file, "rb") as source:
            try:
                if isinstance(conn, ssl.SSLSocket):
                    while True:
                        block = source.read(1 << 20)
                        if not block:
                            break
                        conn.sendall(block)
                else:
                    offset = 0
                    while offset < size:
                        sent = os.sendfile(conn.fileno(), source.fileno(), offset, size - offset)
                        if sent == 0:
                            break
                        offset += sent
            except OSError:
                pass


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("file")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()
    server = Server(("127.0.0.1", 0), Handler)
    server.file = os.path.abspath(args.file)
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print("ready %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
