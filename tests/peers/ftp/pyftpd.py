#!/usr/bin/python3
"""A pyftpdlib server on loopback for the engine tests.

  pyftpd.py --port N [--user NAME:PASSWORD:HOMEDIR ...] [--anonymous DIR]
            [--passive-ports FIRST-LAST] [--host ADDRESS] [--tls CERT:KEY]
            [--throttle BYTES_PER_SECOND]
            [--physical-pwd]

--host is the loopback address to listen on (127.0.0.1, or ::1 for IPv6).
--throttle limits every data connection (listings too), so that a test can
act while a transfer is in flight.

--physical-pwd makes PWD name the folder with its links resolved, as
servers that ask the system for their working folder do (a link "a -> ."
entered gives the folder it stands in).

Users get full rights in their home folder. With --tls, explicit TLS is
required on the control and data connections. Runs until killed. Prints
"ready" once listening.
"""
import argparse
import logging
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--user", action="append", default=[])
    ap.add_argument("--anonymous")
    ap.add_argument("--passive-ports")
    ap.add_argument("--tls")
    ap.add_argument("--throttle", type=int)
    ap.add_argument("--verbose", action="store_true")
    ap.add_argument("--physical-pwd", action="store_true")
    ap.add_argument("--host", default="127.0.0.1", choices=["127.0.0.1", "::1"])
    args = ap.parse_args()

    auth = DummyAuthorizer()
    for entry in args.user:
        name, password, home = entry.split(":", 2)
        auth.add_user(name, password, home, perm="elradfmwMT")
    if args.anonymous:
        auth.add_anonymous(args.anonymous)

    base = FTPHandler
    if args.tls:
        from pyftpdlib.handlers import TLS_FTPHandler
        base = TLS_FTPHandler

    class Handler(base):
        # pyftpdlib 1.5.7 formats the session for its debug lines even when
        # they are not logged, and that raises once a broken transfer's file
        # is closed (a client killed mid-upload). The failing close() then
        # leaves the dead session in the loop, logging tracebacks at full
        # speed for the rest of the server's life.
        def get_repr_info(self, as_str=False, extra_info=None):
            try:
                return super().get_repr_info(as_str, extra_info)
            except (ValueError, OSError):
                return "id=%d" % id(self) if as_str else {"id": id(self)}

    if args.tls:
        Handler.certfile, Handler.keyfile = args.tls.split(":", 1)
        Handler.tls_control_required = True
        Handler.tls_data_required = True
    if args.physical_pwd:
        from pyftpdlib.filesystems import AbstractedFS

        class PhysicalFS(AbstractedFS):
            def chdir(self, path):
                real = os.path.realpath(path)
                os.chdir(real)
                self.cwd = self.fs2ftp(real)

        Handler.abstracted_fs = PhysicalFS
    Handler.authorizer = auth
    Handler.permit_foreign_addresses = False
    Handler.permit_privileged_ports = False
    # Large buffers so the server is never what limits a loopback transfer.
    Handler.dtp_handler.ac_in_buffer_size = 262144
    Handler.dtp_handler.ac_out_buffer_size = 262144
    if args.throttle:
        from pyftpdlib.handlers import ThrottledDTPHandler

        class Throttled(ThrottledDTPHandler):
            read_limit = args.throttle
            write_limit = args.throttle
        # The TLS handler's data channel is its own class: throttle that one.
        if args.tls:
            from pyftpdlib.handlers import TLS_DTPHandler

            class Throttled(TLS_DTPHandler, ThrottledDTPHandler):
                read_limit = args.throttle
                write_limit = args.throttle
        Handler.dtp_handler = Throttled
    if args.passive_ports:
        first, last = args.passive_ports.split("-")
        Handler.passive_ports = range(int(first), int(last) + 1)

    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.WARNING,
                        stream=sys.stderr)
    server = FTPServer((args.host, args.port), Handler)
    server.max_cons = 64
    print("ready", flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
