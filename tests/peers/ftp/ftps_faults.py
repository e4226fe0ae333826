#!/usr/bin/python3
"""A scripted explicit-TLS FTP server that misbehaves on purpose.

  ftps_faults.py MODE PORT CERT KEY

One session at a time, passive mode only; RETR of any name sends 200000
bytes of a pattern, and 226 follows whatever happened. MODE:
  clean         everything as it should be
  truncate      the data connection ends after 120000 bytes without close_notify
  tamper        a record of the data connection has a flipped byte
  tamper-control  the reply to PWD comes in a record with a flipped byte
  refuse-pbsz, refuse-prot   PBSZ or PROT P is refused (data then in clear)
  inject234     "230 injected" follows "234" in the same clear segment
  upload-cut    STOR reads 50000 bytes, drops the data connection, says 226
  data-cert     data connections show another certificate: DATACERT DATAKEY
                (two more arguments)
"""
import os
import socket
import ssl
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "net"))
from tls_faults import PATTERN, TlsConn, context, serve_forever  # noqa: E402


class Plain:
    def __init__(self, raw):
        self.raw = raw

    def recv(self):
        return self.raw.recv(65536)

    def sendall(self, data, tamper=False):
        self.raw.sendall(data)

    def close_notify(self):
        pass

    def close_raw(self):
        self.raw.close()


def transfer(mode, cmd, data):
    """Moves a transfer's data; returns the final reply."""
    if cmd == "STOR":
        got = 0
        while mode != "upload-cut" or got < 50000:
            part = data.recv()
            if not part:
                break
            got += len(part)
        return "226 %d bytes stored" % got
    body = PATTERN if cmd == "RETR" else b"-rw-r--r-- 1 u g 200000 Jan 01 2026 file.bin\r\n"
    if mode == "truncate" and cmd == "RETR":
        data.sendall(body[:120000])
        time.sleep(0.2)
    elif mode == "tamper" and cmd == "RETR":
        data.sendall(body[:60000])
        time.sleep(0.2)
        data.sendall(body[60000:80000], tamper=True)
        time.sleep(0.2)
    else:
        data.sendall(body)
        data.close_notify()
    return "226 Transfer complete"


def session(mode, raw, ctx, dctx):
    conn = Plain(raw)
    buf = b""
    prot = False
    pasv = None

    def reply(text, tamper=False):
        conn.sendall(text.encode() + b"\r\n", tamper)

    reply("220 scripted FTPS")
    while True:
        while b"\r\n" not in buf:
            got = conn.recv()
            if not got:
                return
            buf += got
        line, buf = buf.split(b"\r\n", 1)
        cmd, _, arg = line.decode("latin-1").partition(" ")
        cmd = cmd.upper()
        if cmd == "AUTH":
            if mode == "inject234":
                raw.sendall(b"234 go\r\n230 injected\r\n")
            else:
                reply("234 go")
            conn = TlsConn(raw, ctx)
            conn.handshake()
        elif cmd == "USER":
            reply("331 password")
        elif cmd == "PASS":
            reply("230 in")
        elif cmd == "PBSZ":
            reply("500 PBSZ not understood" if mode == "refuse-pbsz" else "200 PBSZ=0")
        elif cmd == "PROT":
            if mode == "refuse-prot":
                reply("536 PROT P not supported")
            else:
                prot = arg.upper() == "P"
                reply("200 ok")
        elif cmd == "PWD":
            reply('257 "/" is the folder', tamper=mode == "tamper-control")
        elif cmd in ("TYPE", "MODE", "STRU", "OPTS"):
            reply("200 ok")
        elif cmd == "CWD":
            reply("250 ok")
        elif cmd == "SYST":
            reply("215 UNIX Type: L8")
        elif cmd == "FEAT":
            reply("211 no features")
        elif cmd == "SIZE":
            reply("213 %d" % len(PATTERN))
        elif cmd in ("PASV", "EPSV"):
            pasv = socket.socket()
            pasv.bind(("127.0.0.1", 0))
            pasv.listen(1)
            p = pasv.getsockname()[1]
            if cmd == "EPSV":
                reply("229 Entering Extended Passive Mode (|||%d|)" % p)
            else:
                reply("227 Entering Passive Mode (127,0,0,1,%d,%d)" % (p >> 8, p & 255))
        elif cmd in ("RETR", "LIST", "NLST", "MLSD", "STOR"):
            reply("150 opening")
            draw, _ = pasv.accept()
            pasv.close()
            data = TlsConn(draw, dctx) if prot else Plain(draw)
            try:
                if prot:
                    data.handshake()
                final = transfer(mode, cmd, data)
            except (OSError, ssl.SSLError):
                final = "426 data connection failed"
            data.close_raw()
            time.sleep(0.1)
            reply(final)
        elif cmd == "ABOR":
            reply("225 no transfer")
        elif cmd == "QUIT":
            reply("221 bye")
            conn.close_notify()
            return
        else:
            reply("502 not implemented")


def main():
    mode, port, cert, key = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    ctx = context(cert, key)
    dctx = context(sys.argv[5], sys.argv[6]) if len(sys.argv) > 6 else ctx
    serve_forever(port, lambda raw: session(mode, raw, ctx, dctx))


if __name__ == "__main__":
    main()
