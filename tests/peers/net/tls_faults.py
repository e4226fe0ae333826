#!/usr/bin/python3
"""TLS peers on loopback that misbehave on purpose, for the fault tests.

  tls_faults.py MODE PORT CERT KEY

One connection at a time, until killed. MODE:
  truncate     120000 of 200000 bytes, then a TCP close without close_notify
  clean        200000 bytes, close_notify, close
  tamper       a good record ("good\\r\\n"), then one with a flipped byte
  plain-lines  "234 go\\r\\nEVIL\\r\\n" in clear, then TLS and "after\\r\\n"
  starttls     the same without "EVIL": a sound upgrade
  socks        a SOCKS 5 proxy that says yes with "INJECTED" behind its
               reply, then TLS and "secret\\r\\n"
  sni          answers "sni=NAME\\r\\n" (the name the client sent, "-" for
               none), then close_notify
  http-truncate, http-clean
               an HTTP/1.0 reply whose body ends at the close: without
               close_notify, or with it

TlsConn (TLS over a raw socket through memory BIOs, so a test can cut or
corrupt the stream) is also used by the scripted FTPS server.
"""
import socket
import ssl
import struct
import sys
import time

PATTERN = bytes((i * 7 + i // 251) % 26 + 97 for i in range(200000))


class TlsConn:
    def __init__(self, raw, ctx):
        self.raw = raw
        self.inc = ssl.MemoryBIO()
        self.out = ssl.MemoryBIO()
        self.obj = ctx.wrap_bio(self.inc, self.out, server_side=True)
        self.eof = False

    def _flush(self, tamper=False):
        data = self.out.read()
        if tamper and len(data) > 30:
            b = bytearray(data)
            b[len(b) // 2] ^= 0x55
            data = bytes(b)
        if data:
            self.raw.sendall(data)

    def _fill(self):
        got = self.raw.recv(65536)
        if not got:
            self.inc.write_eof()
            self.eof = True
        else:
            self.inc.write(got)

    def handshake(self):
        while True:
            try:
                self.obj.do_handshake()
                self._flush()
                return
            except ssl.SSLWantReadError:
                self._flush()
                self._fill()

    def recv(self):
        """Decrypted bytes; b"" at the end of the stream."""
        while True:
            try:
                data = self.obj.read(65536)
                self._flush()
                return data
            except ssl.SSLWantReadError:
                self._flush()
                if self.eof:
                    return b""
                self._fill()
            except (ssl.SSLZeroReturnError, ssl.SSLEOFError):
                return b""

    def sendall(self, data, tamper=False):
        self.obj.write(data)
        self._flush(tamper)

    def close_notify(self):
        try:
            self.obj.unwrap()
        except ssl.SSLError:
            pass
        self._flush()

    def close_raw(self):
        self.raw.close()


def context(cert, key):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    return ctx


def recv_exact(raw, n):
    data = b""
    while len(data) < n:
        got = raw.recv(n - len(data))
        if not got:
            raise OSError("closed")
        data += got
    return data


def serve(mode, raw, ctx):
    if mode == "plain-lines":
        raw.sendall(b"234 go\r\nEVIL\r\n")
    if mode == "starttls":
        raw.sendall(b"234 go\r\n")
    if mode == "socks":
        head = recv_exact(raw, 2)
        recv_exact(raw, head[1])
        raw.sendall(b"\x05\x00")
        req = recv_exact(raw, 4)
        if req[3] == 1:
            recv_exact(raw, 6)
        elif req[3] == 3:
            recv_exact(raw, recv_exact(raw, 1)[0] + 2)
        else:
            recv_exact(raw, 18)
        raw.sendall(b"\x05\x00\x00\x01\x7f\x00\x00\x01" + struct.pack(">H", 1) + b"INJECTED")
    sni = []
    if mode == "sni":
        ctx.sni_callback = lambda obj, name, c: sni.append(name)
    t = TlsConn(raw, ctx)
    t.handshake()
    if mode == "sni":
        t.sendall(b"sni=" + (sni[0] if sni and sni[0] else "-").encode() + b"\r\n")
        t.close_notify()
        t.close_raw()
    if mode == "truncate":
        t.sendall(PATTERN[:120000])
        time.sleep(0.2)
        t.close_raw()
    elif mode == "clean":
        t.sendall(PATTERN)
        t.close_notify()
        t.close_raw()
    elif mode == "tamper":
        t.sendall(b"good\r\n")
        time.sleep(0.3)
        t.sendall(b"bad record " * 20, tamper=True)
        time.sleep(1.0)
        t.close_raw()
    elif mode in ("plain-lines", "starttls"):
        t.sendall(b"after\r\n")
        t.close_notify()
        t.close_raw()
    elif mode == "socks":
        t.sendall(b"secret\r\n")
        t.close_notify()
        t.close_raw()
    elif mode.startswith("http-"):
        req = b""
        while b"\r\n\r\n" not in req:
            got = t.recv()
            if not got:
                break
            req += got
        t.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + PATTERN[:100000])
        if mode == "http-clean":
            t.close_notify()
        time.sleep(0.1)
        t.close_raw()


def serve_forever(port, handle):
    """Accepts on loopback, one connection at a time, until killed."""
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", port))
    srv.listen(4)
    while True:
        raw, _ = srv.accept()
        raw.settimeout(10)
        try:
            handle(raw)
        except (OSError, ssl.SSLError):
            pass
        finally:
            raw.close()


def main():
    mode, port, cert, key = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    ctx = context(cert, key)
    serve_forever(port, lambda raw: serve(mode, raw, ctx))


if __name__ == "__main__":
    main()
