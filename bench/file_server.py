#!/usr/bin/env python3
"""Serves one file to every GET on 127.0.0.1, for the download benchmark.

usage: file_server.py FILE [--cert PEM --key PEM] [--cut-at OFFSET,...] [--sent FILE]

Plain HTTP sends the file with sendfile; with a certificate the file goes out over TLS in
1 MiB writes. "Range: bytes=N-" (with an If-Range equal to the file's ETag, or none) is
answered with 206 from N. Each --cut-at offset hangs up the first answer that reaches it, once;
--sent keeps the number of body bytes sent so far in FILE. Prints "ready <port>" once it
accepts connections.
"""
import argparse
import os
import socket
import socketserver
import ssl
import sys
import threading


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
        etag = b'"%d"' % size
        start = 0
        fields = {}
        for line in head.split(b"\r\n\r\n")[0].split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            fields[name.strip().lower()] = value.strip()
        asked = fields.get(b"range", b"")
        if asked.startswith(b"bytes=") and asked.endswith(b"-") and fields.get(b"if-range", etag) == etag:
            start = min(int(asked[6:-1]), size)
        if start:
            status = b"206 Partial Content\r\nContent-Range: bytes %d-%d/%d" % (start, size - 1, size)
        else:
            status = b"200 OK"
        conn.sendall(b"HTTP/1.1 %s\r\nContent-Type: application/octet-stream\r\nETag: %s\r\n"
                     b"Content-Length: %d\r\nConnection: close\r\n\r\n" % (status, etag, size - start))
        end = size
        with self.server.lock:
            later = [c for c in self.server.cuts if c > start]
            if later:
                end = min(later)
                self.server.cuts.remove(end)
        offset = start
        with open(self.server.file, "rb") as source:
            try:
                if isinstance(conn, ssl.SSLSocket):
                    source.seek(start)
                    while offset < end:
                        block = source.read(min(1 << 20, end - offset))
                        if not block:
                            break
                        conn.sendall(block)
                        offset += len(block)
                else:
                    while offset < end:
                        sent = os.sendfile(conn.fileno(), source.fileno(), offset, end - offset)
                        if sent == 0:
                            break
                        offset += sent
            except OSError:
                pass
        self.server.count(offset - start)
        if end < size:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    cuts = []
    sent_file = None
    sent = 0

    def count(self, size):
        with self.lock:
            self.sent += size
            if self.sent_file:
                with open(self.sent_file, "w") as out:
                    out.write(str(self.sent))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("file")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--cut-at", default="")
    parser.add_argument("--sent")
    args = parser.parse_args()
    server = Server(("127.0.0.1", 0), Handler)
    server.file = os.path.abspath(args.file)
    server.lock = threading.Lock()
    server.cuts = [int(c) for c in args.cut_at.split(",") if c]
    server.sent_file = args.sent
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
