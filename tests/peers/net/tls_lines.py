#!/usr/bin/python3
"""A TLS peer on loopback for the socket-layer tests.

  tls_lines.py PORT CERT KEY

Per connection: the handshake, then "one\\r\\n" and "two\\r\\n" in three
pieces, then it reads one line, answers "got: LINE\\r\\n", sends its
close_notify and closes. Runs until killed.
"""
import sys
import time

from tls_faults import context, serve_forever


def serve(raw, ctx):
    conn = ctx.wrap_socket(raw, server_side=True)
    for piece in (b"on", b"e\r\ntw", b"o\r\n"):
        conn.sendall(piece)
        time.sleep(0.05)
    line = b""
    while not line.endswith(b"\r\n"):
        got = conn.recv(100)
        if not got:
            break
        line += got
    conn.sendall(b"got: " + line)
    conn.unwrap().close()


def main():
    port, cert, key = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    ctx = context(cert, key)
    serve_forever(port, lambda raw: serve(raw, ctx))


if __name__ == "__main__":
    main()
