#!/usr/bin/python3
"""A TLS peer on loopback for the socket-layer tests.

  tls_lines.py PORT CERT KEY

Per connection: the handshake, then "one\\r\\n" and "two\\r\\n" in three
pieces, then it reads one line, answers "got: LINE\\r\\n", sends its
close_notify and closes. Runs until killed.
"""
import socket
import ssl
import sys
import time


def main():
    port, cert, key = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", port))
    srv.listen(4)
    while True:
        raw, _ = srv.accept()
        raw.settimeout(10)
        try:
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
        except (OSError, ssl.SSLError):
            raw.close()


if __name__ == "__main__":
    main()
